// POSIX files for the compound-file layer: open(2) plus an open-file-
// description lock over the whole file, pread/pwrite at absolute offsets.
//
// OFD locks belong to the open file description, not the process, so two opens
// in one process conflict just as two processes do, and the lock goes away
// with the descriptor. They also conflict with classic F_SETLK record locks
// that other programs take.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "fd.h"
#include "file_handle.h"
#include "platform/text.h"

namespace platform {
namespace {

class PosixFile final : public FileHandle {
 public:
  PosixFile(Fd fd, std::uint64_t size) : fd_(std::move(fd)), size_(size) {}

  std::uint64_t size() const override { return size_; }

  HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) override {
    if (!ReadAt(fd_.get(), offset, buffer, count, done)) return HResultFromSystemError(Win32ErrorFromErrno(errno));
    return S_OK;
  }

  HRESULT writeAt(std::uint64_t offset, const void* buffer, std::size_t count) override {
    // The layer never writes beyond the file's end, so a range past what the
    // system can address is a fault of the caller's.
    constexpr auto kReach = static_cast<std::uint64_t>(INT64_MAX);
    if (offset > kReach || count > kReach - offset) return STG_E_WRITEFAULT;
    if (WriteAllAt(fd_.get(), offset, buffer, count)) return S_OK;
    return HResultFromSystemError(Win32ErrorFromErrno(errno));
  }

 private:
  Fd fd_;
  std::uint64_t size_;
};

}  // namespace

HRESULT OpenFileHandle(const std::wstring& path, bool writable, std::unique_ptr<FileHandle>& out) {
  out.reset();
  const std::string native = EncodeNative(path);
  if (native.empty()) return STG_E_FILENOTFOUND;
  if (native.find('\0') != std::string::npos) return STG_E_INVALIDNAME;

  // O_NONBLOCK keeps open(2) from waiting on a FIFO; it changes nothing for
  // the regular files that pass the check below.
  Fd fd(OpenRetrying(native.c_str(), (writable ? O_RDWR : O_RDONLY) | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return ClassifyOpenError(errno, native, writable);

  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return HResultFromSystemError(Win32ErrorFromErrno(errno, native));
  if (S_ISDIR(st.st_mode)) return STG_E_ACCESSDENIED;
  // A device, FIFO or socket exists but holds no compound file.
  if (!S_ISREG(st.st_mode)) return STG_E_FILEALREADYEXISTS;
  Blocking(fd.get());  // a descriptor that stays non-blocking still reads a regular file

  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = writable ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file, however long it gets
  int rc;
  do {
    rc = ::fcntl(fd.get(), F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno == EAGAIN || errno == EACCES) return STG_E_SHAREVIOLATION;
    return HResultFromSystemError(Win32ErrorFromErrno(errno, native));
  }

  out.reset(new PosixFile(std::move(fd), static_cast<std::uint64_t>(st.st_size)));
  return S_OK;
}

}  // namespace platform
