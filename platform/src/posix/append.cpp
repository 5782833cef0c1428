// Appending to a file that is held alone while one piece is written: an
// open-file-description write lock over the whole file stands for the
// Windows open without sharing.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/text.h"

namespace platform {

namespace {

void WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

bool AppendWithoutSharing(const std::wstring& path, const std::string& header, const std::string& bytes) {
  const std::string native = EncodeNative(path);
  const int fd = ::open(native.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // A file held by someone else is left alone; a file system without such
  // locks still gets the bytes.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  const bool mine = ::fcntl(fd, F_OFD_SETLK, &lock) == 0 || (errno != EAGAIN && errno != EACCES);
  if (mine) {
    struct stat st {};
    const bool empty = ::fstat(fd, &st) == 0 && st.st_size == 0;
    WriteAll(fd, empty ? header + bytes : bytes);
  }
  ::close(fd);
  return mine;
}

}  // namespace platform
