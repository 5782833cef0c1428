// Reading a file or standard input on POSIX systems. The wait for data is a
// poll with a short time limit, not a read that blocks (the stop requests'
// handler is installed with SA_RESTART, which a read from a terminal or pipe
// would obey), so that a stop request is seen while a list still comes in.
#include "platform/input_file.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"
#include "platform/process.h"
#include "platform/termination.h"
#include "platform/text.h"

namespace platform {

namespace {

constexpr int kStopCheckMs = 200;

// A descriptor that is no folder; else false with the error.
bool Readable(int fd, const std::string& path, Win32Error& error) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    error = errno == EBADF ? kErrorInvalidHandle : Win32ErrorFromErrno(errno, path);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error = kErrorAccessDenied;
    return false;
  }
  return true;
}

}  // namespace

void InputFile::close() {
  if (owned_ && handle_ != kNone) ::close(static_cast<int>(handle_));
  handle_ = kNone;
  owned_ = false;
}

bool InputFile::open(const std::wstring& path, Win32Error& error) {
  close();
  const std::string native = EncodeNative(path);
  Fd fd(OpenRetrying(native.c_str(), O_RDONLY));
  if (!fd.valid()) {
    error = Win32ErrorFromErrno(errno, native);
    return false;
  }
  if (!Readable(fd.get(), native, error)) return false;
  handle_ = fd.release();
  owned_ = true;
  return true;
}

bool InputFile::openStandardInput(Win32Error& error) {
  close();
  if (StandardInputWasClosed()) {
    error = kErrorInvalidHandle;
    return false;
  }
  if (!Readable(STDIN_FILENO, std::string(), error)) return false;
  handle_ = STDIN_FILENO;
  owned_ = false;
  return true;
}

bool InputFile::read(void* buffer, std::size_t size, std::size_t& done, Win32Error& error,
                     const std::function<bool()>& alsoStop) {
  done = 0;
  if (handle_ == kNone) {
    error = kErrorInvalidHandle;
    return false;
  }
  const int fd = static_cast<int>(handle_);
  for (;;) {
    // Looked at again every so often, so that a request that came just
    // before the wait began is not missed.
    if (StopRequested() || (alsoStop && alsoStop())) return true;
    pollfd wait{fd, POLLIN, 0};
    const int ready = ::poll(&wait, 1, kStopCheckMs);
    if (ready < 0 && errno != EINTR) {
      error = Win32ErrorFromErrno(errno);
      return false;
    }
    if (ready <= 0) continue;
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0) {
      done = static_cast<std::size_t>(n);
      return true;
    }
    // A descriptor left non-blocking by whoever shares it reports that
    // nothing is there yet: wait again.
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    error = Win32ErrorFromErrno(errno);
    return false;
  }
}

}  // namespace platform
