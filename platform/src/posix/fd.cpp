#include "fd.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "platform/hresult.h"

namespace platform {

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

int Fd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

int Fd::close() {
  if (fd_ < 0) return 0;
  return ::close(release());
}

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool Blocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAt(int fd, std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) {
  done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < count) {
    const std::uint64_t at = offset + done;
    if (at > static_cast<std::uint64_t>(INT64_MAX)) break;
    const ssize_t n = ::pread(fd, out + done, count - done, static_cast<off_t>(at));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteAllAt(int fd, std::uint64_t offset, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const std::uint64_t at = offset + done;
    if (at > static_cast<std::uint64_t>(INT64_MAX)) {
      errno = EFBIG;
      return false;
    }
    const ssize_t n = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(at));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void DataAfter(int fd, std::uint64_t size, std::uint64_t from, std::uint64_t& start, std::uint64_t& end) {
  start = std::min(from, size);
  end = size;
  if (start >= size || start > static_cast<std::uint64_t>(INT64_MAX)) return;
  const off_t data = ::lseek(fd, static_cast<off_t>(start), SEEK_DATA);
  if (data < 0) {
    if (errno == ENXIO) start = size;  // nothing but a hole from here on
    return;
  }
  start = std::min(static_cast<std::uint64_t>(data), size);
  const off_t hole = ::lseek(fd, data, SEEK_HOLE);
  if (hole >= 0) end = std::max(start, std::min(static_cast<std::uint64_t>(hole), size));
}

HRESULT ClassifyOpenError(int err, const std::string& path, bool writable) {
  if (err == EISDIR) return STG_E_ACCESSDENIED;
  if (err == EROFS && writable) return STG_E_ACCESSDENIED;
  // A non-blocking open that another program's lease would hold.
  if (err == EWOULDBLOCK || err == EAGAIN) return STG_E_SHAREVIOLATION;
  // A socket, or a device without its driver, cannot be opened at all: as
  // any other name that is no regular file, it is no workbook.
  if (err == ENXIO || err == ENODEV) return STG_E_FILEALREADYEXISTS;
  const Win32Error code = Win32ErrorFromErrno(err, path);
  switch (code) {
    case kErrorFileNotFound: return STG_E_FILENOTFOUND;
    case kErrorPathNotFound: return STG_E_PATHNOTFOUND;
    case kErrorFilenameExcedRange: return STG_E_INVALIDNAME;
    case kErrorAccessDenied: return STG_E_ACCESSDENIED;
    case kErrorSharingViolation: return STG_E_SHAREVIOLATION;
    default: return HResultFromSystemError(code);
  }
}

bool WriteWithoutPipeSignal(int fd, const std::string& bytes) {
  sigset_t pipeSignal;
  sigset_t previous;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigset_t pendingBefore;
  ::sigpending(&pendingBefore);
  const bool written = WriteAll(fd, bytes);
  const int saved = errno;
  if (!written && saved == EPIPE && !sigismember(&pendingBefore, SIGPIPE)) {
    const struct timespec none{0, 0};
    while (::sigtimedwait(&pipeSignal, nullptr, &none) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = saved;
  return written;
}


}  // namespace platform
