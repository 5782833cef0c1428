#include "held_file_restore.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fd.h"

namespace platform {
namespace {

std::int64_t Ns(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + static_cast<std::int64_t>(t.tv_nsec);
}

struct timespec Spec(std::int64_t ns) {
  struct timespec t {};
  t.tv_sec = static_cast<time_t>(ns / 1000000000);
  t.tv_nsec = static_cast<long>(ns % 1000000000);
  if (t.tv_nsec < 0) {
    t.tv_nsec += 1000000000;
    t.tv_sec -= 1;
  }
  return t;
}

}  // namespace

Win32Error OpenSiblingAt(int folder, const std::string& name, std::unique_ptr<FileHandle>& out, FileTimes& times) {
  // O_NONBLOCK: a FIFO put in its place must not hold the run.
  Fd fd;
  do {
    fd = Fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  } while (!fd.valid() && errno == EINTR);
  if (!fd.valid()) {
    if (errno == ELOOP) return kErrorCantResolveFilename;
    if (errno == ENOENT) return kErrorFileNotFound;
    return Win32ErrorFromErrno(errno);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Win32ErrorFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return kErrorCantResolveFilename;
  if (!Blocking(fd.get())) return Win32ErrorFromErrno(errno);
  times.accessNs = Ns(st.st_atim);
  times.modifyNs = Ns(st.st_mtim);
  out = ReaderOfOwnFile(std::move(fd), static_cast<std::uint64_t>(st.st_size));
  return kErrorSuccess;
}

Win32Error StateOfFd(int fd, std::uint64_t& size, FileTimes& times) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Win32ErrorFromErrno(errno);
  size = static_cast<std::uint64_t>(st.st_size);
  times.accessNs = Ns(st.st_atim);
  times.modifyNs = Ns(st.st_mtim);
  return kErrorSuccess;
}

Win32Error ResizeFd(int fd, std::uint64_t size) {
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? kErrorSuccess : Win32ErrorFromErrno(errno);
}

Win32Error SetTimesOfFd(int fd, const FileTimes& times) {
  const struct timespec both[2] = {Spec(times.accessNs), Spec(times.modifyNs)};
  return ::futimens(fd, both) == 0 ? kErrorSuccess : Win32ErrorFromErrno(errno);
}

bool OpenForWritingElsewhere(int fd) {
  struct stat self {};
  if (::fstat(fd, &self) != 0) return false;
  DIR* processes = ::opendir("/proc");
  if (processes == nullptr) return false;
  const long me = static_cast<long>(::getpid());
  bool found = false;
  while (!found) {
    const dirent* process = ::readdir(processes);
    if (process == nullptr) break;
    char* end = nullptr;
    const long pid = std::strtol(process->d_name, &end, 10);
    if (end == process->d_name || *end != '\0' || pid <= 0 || pid == me) continue;
    const std::string base = std::string("/proc/") + process->d_name;
    DIR* descriptors = ::opendir((base + "/fd").c_str());
    if (descriptors == nullptr) continue;  // gone, or not ours to see
    while (const dirent* entry = ::readdir(descriptors)) {
      if (entry->d_name[0] == '.') continue;
      struct stat st {};
      // The link is followed to the open file itself, which is not opened.
      if (::fstatat(::dirfd(descriptors), entry->d_name, &st, 0) != 0 || st.st_dev != self.st_dev ||
          st.st_ino != self.st_ino) {
        continue;
      }
      // "flags:\t<octal>" in its fdinfo gives how it was opened.
      const Fd info(::open((base + "/fdinfo/" + entry->d_name).c_str(), O_RDONLY | O_CLOEXEC));
      char text[512];
      const ssize_t n = info.valid() ? ::read(info.get(), text, sizeof text - 1) : -1;
      if (n <= 0) continue;
      text[n] = '\0';
      const char* flags = std::strstr(text, "flags:");
      if (flags == nullptr) continue;
      const long mode = std::strtol(flags + 6, nullptr, 8);
      if ((mode & O_ACCMODE) != O_RDONLY) {
        found = true;
        break;
      }
    }
    ::closedir(descriptors);
  }
  ::closedir(processes);
  return found;
}

}  // namespace platform
