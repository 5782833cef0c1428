// Logs on Linux: one descriptor for the whole run, opened with O_NOFOLLOW and
// checked with fstat before a byte goes in, and an open-file-description
// write lock over the whole file while one piece is written, which stands for
// the Windows open without sharing.
#include "platform/log_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "fd.h"
#include "platform/text.h"

namespace platform {

namespace {

bool Fail(LogError& error, LogFault fault, Win32Error code = kErrorSuccess) {
  error.fault = fault;
  error.code = code;
  return false;
}

bool FailErrno(LogError& error, int err, const std::string& path) {
  return Fail(error, LogFault::kSystem, Win32ErrorFromErrno(err, path));
}

// O_NONBLOCK so that a FIFO in the log's place fails at once (ENXIO) instead
// of waiting for a reader. Children get only logs of their output, which
// they need not read.
constexpr int OpenFlags(LogUse use) {
  return (use == LogUse::kReadOnly ? O_RDONLY : (use == LogUse::kLines ? O_RDWR : O_WRONLY) | O_APPEND) | O_NOFOLLOW |
         O_NONBLOCK;
}

// Logs name files in folders other users may not list, and a user who could
// open one could hold its lock and stall the scan: the owner alone may open
// them.
constexpr mode_t kPrivate = 0600;

// The existing file, or a new one (`created`). Opening an existing file and
// creating exclusively are separate steps, so that a name that appears
// between them (another scan's log) is opened as existing and checked as
// such.
int OpenOrCreate(const std::string& native, LogUse use, bool& created) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    created = false;
    const int fd = OpenRetrying(native.c_str(), OpenFlags(use));
    if (fd >= 0 || errno != ENOENT || use == LogUse::kReadOnly) return fd;
    created = true;
    const int made = OpenRetrying(native.c_str(), OpenFlags(use) | O_CREAT | O_EXCL, kPrivate);
    if (made >= 0 || errno != EEXIST) return made;
  }
  errno = EEXIST;
  return -1;
}

// Why an open of `native` failed: a link and a FIFO are named as such.
bool OpenFailure(LogError& error, int err, const std::string& native) {
  struct stat st;
  if (err == ELOOP && ::lstat(native.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    return Fail(error, LogFault::kLink);
  }
  if (err == ENXIO || err == EISDIR) return Fail(error, LogFault::kNotRegular);
  return FailErrno(error, err, native);
}

// Holds an exclusive lock over the whole file until it goes.
class WholeFileLock {
 public:
  explicit WholeFileLock(int fd) : fd_(fd) {}
  ~WholeFileLock() {
    if (!locked_) return;
    struct flock lock {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    ::fcntl(fd_, F_OFD_SETLK, &lock);
  }
  WholeFileLock(const WholeFileLock&) = delete;
  WholeFileLock& operator=(const WholeFileLock&) = delete;

  // Waits up to `wait` for the lock, polling with sleeps that grow from
  // 1 ms to 20 ms. True also on a file system without such locks: there
  // the bytes still go in.
  bool take(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::chrono::milliseconds pause(1);
    for (;;) {
      struct flock lock {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      if (::fcntl(fd_, F_OFD_SETLK, &lock) == 0) {
        locked_ = true;
        return true;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EACCES) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(pause);
      if (pause < std::chrono::milliseconds(20)) pause *= 2;
    }
  }

 private:
  int fd_;
  bool locked_ = false;
};

}  // namespace

bool LogFile::isOpen() const { return handle_ >= 0; }

void LogFile::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
  path_.clear();
}

bool LogFile::open(const std::wstring& path, LogUse use, const std::string& header, std::chrono::milliseconds wait,
                   LogError& error) {
  close();
  error = LogError();
  const std::string native = EncodeNative(path);
  bool created = false;
  Fd fd(OpenOrCreate(native, use, created));
  if (!fd.valid()) return OpenFailure(error, errno, native);
  // Above the standard descriptors, so that a run started with one of them
  // closed writes no console line into its log, and a child's dup2 onto its
  // standard output always makes a fresh copy.
  if (fd.get() <= STDERR_FILENO) {
    fd = Fd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    if (!fd.valid()) return FailErrno(error, errno, native);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return FailErrno(error, errno, native);
  if (!S_ISREG(st.st_mode)) return Fail(error, LogFault::kNotRegular);
  if (st.st_uid != ::geteuid()) return Fail(error, LogFault::kNotOwned);
  if (st.st_nlink != 1) return Fail(error, LogFault::kManyNames);
  // A new file gets its mode whatever the umask took away; an existing one
  // (another scan's log of the same second, a report appended to) loses what
  // it gave group and others.
  // A file only read is left as it is.
  const mode_t mode = created ? kPrivate : st.st_mode & S_IRWXU;
  if (use != LogUse::kReadOnly && (st.st_mode & 07777) != mode && ::fchmod(fd.get(), mode) != 0) {
    return FailErrno(error, errno, native);
  }
  // Children inherit the open file description: they get a plain blocking
  // file.
  if (::fcntl(fd.get(), F_SETFL, use == LogUse::kReadOnly ? 0 : O_APPEND) != 0) return FailErrno(error, errno, native);

  return adopt(fd.release(), path, use, header, wait, error);
}

bool LogFile::readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done,
                     LogError& error) const {
  error = LogError();
  done = 0;
  if (handle_ < 0) return Fail(error, LogFault::kSystem, kErrorInvalidParameter);
  return ReadAt(static_cast<int>(handle_), offset, buffer, count, done) || FailErrno(error, errno, std::string());
}

bool LogFile::appendLocked(const std::string& bytes, LogError& error) {
  error = LogError();
  if (handle_ < 0) return Fail(error, LogFault::kSystem, kErrorInvalidParameter);
  const int fd = static_cast<int>(handle_);
  WholeFileLock lock(fd);
  if (!lock.take(wait_)) return Fail(error, LogFault::kHeld);
  struct stat st;
  if (::fstat(fd, &st) != 0) return FailErrno(error, errno, std::string());
  const std::string piece = st.st_size == 0 ? header_ + bytes : bytes;
  if (piece.empty() || WriteAll(fd, piece)) return true;
  // A full disk or a failing device: what went in is taken out again, so
  // that the log holds whole lines only.
  const int err = errno;
  while (::ftruncate(fd, st.st_size) != 0 && errno == EINTR) {
  }
  return FailErrno(error, err, std::string());
}

}  // namespace platform
