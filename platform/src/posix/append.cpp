// Appending to a file that is held alone while one piece is written: an
// open-file-description write lock over the whole file stands for the
// Windows open without sharing.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"
#include "platform/files.h"
#include "platform/text.h"

namespace platform {

bool AppendWithoutSharing(const std::wstring& path, const std::string& header, const std::string& bytes) {
  const std::string native = EncodeNative(path);
  const Fd fd(OpenRetrying(native.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644));
  if (!fd.valid()) return false;
  // A file held by someone else is left alone; a file system without such
  // locks still gets the bytes.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  const bool mine = ::fcntl(fd.get(), F_OFD_SETLK, &lock) == 0 || (errno != EAGAIN && errno != EACCES);
  if (mine) {
    struct stat st {};
    const bool empty = ::fstat(fd.get(), &st) == 0 && st.st_size == 0;
    // A failed write is not reported: the caller loses the line, as it would
    // on a full disk.
    WriteAll(fd.get(), empty ? header + bytes : bytes);
  }
  return mine;
}

}  // namespace platform
