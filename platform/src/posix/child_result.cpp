// The result channel on POSIX: a pipe whose write end is close-on-exec here
// and given to the one child by its spawn's file actions (process.cpp).
#include "platform/child_result.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"

namespace platform {

ResultPipe::~ResultPipe() {
  closeWriteEnd();
  if (read_ >= 0) ::close(static_cast<int>(read_));
}

bool ResultPipe::create(std::size_t capacity, Win32Error& error) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  read_ = ends[0];
  write_ = ends[1];
#ifdef F_SETPIPE_SZ
  // The whole record fits while its writer ends, before anyone reads; a pipe
  // kept small by the user's limits still takes any name of PATH_MAX.
  if (capacity > 0 && capacity < INT_MAX) ::fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(capacity));
#else
  (void)capacity;
#endif
  // Read once the child has ended: a grandchild holding the write end must
  // not keep the read waiting.
  if (::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  return true;
}

std::wstring ResultPipe::childName() const { return std::to_wstring(write_); }

void ResultPipe::closeWriteEnd() {
  if (write_ >= 0) ::close(static_cast<int>(write_));
  write_ = -1;
}

bool ResultPipe::readWaiting(std::string& bytes, std::size_t most, Win32Error& error) const {
  bytes.clear();
  char buffer[16384];
  while (bytes.size() < most) {
    const std::size_t want = std::min(sizeof buffer, most - bytes.size());
    const ssize_t n = ::read(static_cast<int>(read_), buffer, want);
    if (n > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
      return true;
    } else if (errno != EINTR) {
      error = Win32ErrorFromErrno(errno);
      return false;
    }
  }
  return true;
}

bool FindResultChannel(const std::wstring& name, std::intptr_t& channel) {
  if (name.empty() || name.size() > 9 || (name.size() > 1 && name[0] == L'0')) return false;
  int fd = 0;
  for (const wchar_t c : name) {
    if (c < L'0' || c > L'9') return false;
    fd = fd * 10 + (c - L'0');
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return false;
  channel = fd;
  return true;
}

bool WriteResult(std::intptr_t channel, const std::string& record) {
  const int fd = static_cast<int>(channel);
  // A parent that stopped reading must neither hold this program up nor end
  // it: no waiting for room, and no SIGPIPE.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return WriteWithoutPipeSignal(fd, record);
}

bool WriteResultAndClose(std::intptr_t channel, const std::string& record) {
  const bool written = WriteResult(channel, record);
  ::close(static_cast<int>(channel));
  return written;
}

}  // namespace platform
