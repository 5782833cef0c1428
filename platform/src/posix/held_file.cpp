// The held file on POSIX systems. The folder is opened first and the file
// by its last name inside it, so that the backup is made in the folder the
// file was found in, whatever a path's links do later. The file is opened
// once; for the final write it is reopened through /proc/self/fd, which
// reaches the same inode without a name. Locks: an open-file-description
// lock (which POSIX record locks of other programs also meet) and a flock(2)
// lock, shared for a check, exclusive for a run that may write.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "beneath_fd.h"
#include "copy_content.h"
#include "fd.h"
#include "held_file_restore.h"
#include "held_file_system.h"
#include "metadata.h"
#include "platform/scratch_file.h"
#include "platform/text.h"

namespace platform {
namespace {

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The mode a backup is made with. It admits only us, under a folder's
// default ACL too: the mode's group bits become the mask of the ACL the file
// inherits, so its named users and groups get nothing.
constexpr mode_t kOnlyUs = 0600;

// An open-file-description lock over the whole file, however long it gets.
int LockWhole(int fd, short type) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  int rc;
  do {
    rc = ::fcntl(fd, F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

int FlockRetrying(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

bool LockConflict(int err) { return err == EAGAIN || err == EACCES || err == EWOULDBLOCK; }

// A file system without flock(2) locks (some network ones) has no such
// holder to keep out.
bool NoFlockHere(int err) { return err == ENOLCK || err == EINVAL || err == ENOTSUP || err == EOPNOTSUPP; }

// A file of ours read at absolute offsets: the backup, and the source of the
// ranges written back.
class FdReader final : public FileHandle {
 public:
  FdReader(Fd fd, std::uint64_t size) : fd_(std::move(fd)), size_(size) {}
  std::uint64_t size() const override { return size_; }
  HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) override {
    return ReadAtFd(fd_.get(), offset, buffer, count, done);
  }
  HRESULT writeAt(std::uint64_t, const void*, std::size_t) override { return STG_E_ACCESSDENIED; }
  void dataAfter(std::uint64_t from, std::uint64_t& start, std::uint64_t& end) override {
    DataAfter(fd_.get(), size_, from, start, end);
  }

  static HRESULT ReadAtFd(int fd, std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) {
    if (!ReadAt(fd, offset, buffer, count, done)) return HResultFromSystemError(Win32ErrorFromErrno(errno));
    return S_OK;
  }

 private:
  Fd fd_;
  std::uint64_t size_;
};

class PosixHeldFile final : public HeldFileSystem {
 public:
  PosixHeldFile(Fd folder, std::string leaf, std::string path, Fd file, const struct stat& st, bool nameIsLink,
                Win32Error writeError)
      : folder_(std::move(folder)),
        leaf_(std::move(leaf)),
        path_(std::move(path)),
        file_(std::move(file)),
        opened_(st),
        nameIsLink_(nameIsLink),
        writeError_(writeError) {}

  ~PosixHeldFile() override { finishPrepared(); }

  std::uint64_t size() const override { return static_cast<std::uint64_t>(opened_.st_size); }

  HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) override {
    return FdReader::ReadAtFd(file_.get(), offset, buffer, count, done);
  }

  void dataAfter(std::uint64_t from, std::uint64_t& start, std::uint64_t& end) override {
    DataAfter(file_.get(), size(), from, start, end);
  }

  bool copyTo(ScratchFile& target, Win32Error& error) override {
    if (!CopyContent(file_.get(), static_cast<int>(target.nativeHandle()))) return fail(error, errno, path_);
    return true;
  }

  // Written as an unnamed file in the folder, flushed, then linked under its
  // name, which fails when the name exists (a link included), and the folder
  // flushed after it: a kill at any moment leaves either no backup or a
  // complete one. File systems without unnamed files get a plain exclusive
  // create, removed on failure. Either way the file is made admitting only
  // us, whatever the folder's default ACL grants: see fill().
  // The unnamed file is made, filled and flushed on a thread of its own;
  // backUp() waits for it and gives it its name. Nothing is left of it when
  // the run ends before (the file has no name) or when it is never named.
  void startBackup() override {
    if (prepared_.joinable() || preparedFd_.valid()) return;
    struct stat st;
    if (::fstat(file_.get(), &st) != 0) return;
    Fd copy(::openat(folder_.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, kOnlyUs));
    if (!copy.valid()) return;  // backUp() makes it the usual way
    preparedSt_ = st;
    preparedFd_ = std::move(copy);
    preparedErrno_ = 0;
    // Started with every signal blocked, so that a termination signal always
    // finds the main thread, whose handler and deferrals decide what it does.
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
      prepared_ = std::thread([this]() {
        if (!fill(preparedFd_.get(), preparedSt_)) preparedErrno_ = errno == 0 ? EIO : errno;
      });
    } catch (...) {
      preparedFd_.close();  // no thread: backUp() makes it the usual way
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  bool backUp(const std::wstring& suffix, Win32Error& error) override {
    const std::string name = leaf_ + EncodeNative(suffix);
    const std::string shown = path_ + EncodeNative(suffix);
    // A name already taken (a link included) is answered before any copying:
    // a folder may hold hundreds of earlier backups. The link below still
    // refuses a name taken meanwhile.
    struct stat st;
    if (::fstatat(folder_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return fail(error, EEXIST, shown);
    finishPrepared();
    if (preparedFd_.valid()) {
      if (preparedErrno_ != 0) {
        const int err = preparedErrno_;
        preparedFd_.close();
        return fail(error, err, shown);
      }
      const std::string link = "/proc/self/fd/" + std::to_string(preparedFd_.get());
      // A name taken meanwhile keeps the content for the next name.
      if (::linkat(AT_FDCWD, link.c_str(), folder_.get(), name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        const int err = errno;
        if (err != EEXIST) preparedFd_.close();
        return fail(error, err, shown);
      }
      if (const int err = FlushFolder(folder_.get()); err != 0) {
        ::unlinkat(folder_.get(), name.c_str(), 0);
        preparedFd_.close();
        return fail(error, err, shown);
      }
      backup_.reset(new FdReader(std::move(preparedFd_), static_cast<std::uint64_t>(preparedSt_.st_size)));
      return true;
    }
    if (::fstat(file_.get(), &st) != 0) return fail(error, errno, path_);
    Fd copy(::openat(folder_.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, kOnlyUs));
    if (copy.valid()) {
      if (!fill(copy.get(), st)) return fail(error, errno, shown);
      const std::string link = "/proc/self/fd/" + std::to_string(copy.get());
      if (::linkat(AT_FDCWD, link.c_str(), folder_.get(), name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        return fail(error, errno, shown);
      }
    } else {
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
        return fail(error, errno, shown);
      }
      copy = Fd(::openat(folder_.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOnlyUs));
      if (!copy.valid()) return fail(error, errno, shown);
      if (!fill(copy.get(), st)) {
        const int err = errno;
        ::unlinkat(folder_.get(), name.c_str(), 0);
        return fail(error, err, shown);
      }
    }
    if (const int err = FlushFolder(folder_.get()); err != 0) {
      ::unlinkat(folder_.get(), name.c_str(), 0);
      return fail(error, err, shown);
    }
    backup_.reset(new FdReader(std::move(copy), static_cast<std::uint64_t>(st.st_size)));
    return true;
  }

  FileHandle* backup() override { return backup_.get(); }

  Win32Error writeError() const override { return writeError_; }

  Win32Error lockExclusive() override {
    // The record lock first: it can fail without losing the shared one. A
    // flock conversion gives the shared lock up before it tries, so on a
    // conflict the shared one is taken again.
    if (LockWhole(file_.get(), F_WRLCK) != 0) {
      return LockConflict(errno) ? kErrorSharingViolation : Win32ErrorFromErrno(errno);
    }
    if (FlockRetrying(file_.get(), LOCK_EX) != 0 && !NoFlockHere(errno)) {
      const int err = errno;
      FlockRetrying(file_.get(), LOCK_SH);
      LockWhole(file_.get(), F_RDLCK);
      return LockConflict(err) ? kErrorSharingViolation : Win32ErrorFromErrno(err);
    }
    return kErrorSuccess;
  }

  bool nameLeadsHere() override {
    struct stat now, named;
    if (::fstat(file_.get(), &now) != 0) return false;
    if (::fstatat(folder_.get(), leaf_.c_str(), &named, nameIsLink_ ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return false;
    return S_ISREG(named.st_mode) && SameFile(now, named);
  }

  bool unchangedSinceOpen() override {
    struct stat now;
    if (::fstat(file_.get(), &now) != 0) return false;
    // Every write moves the modification time. The change time is not
    // asked: a new hard link, an attribute or a reflink of our own copies
    // moves it too without touching a byte.
    return now.st_size == opened_.st_size && SameTime(now.st_mtim, opened_.st_mtim);
  }

  Win32Error writeAt(std::uint64_t offset, const void* data, std::size_t count) override {
    return WriteAllAt(file_.get(), offset, data, count) ? kErrorSuccess : Win32ErrorFromErrno(errno);
  }

  Win32Error flush() override {
    return ::fsync(file_.get()) == 0 ? kErrorSuccess : Win32ErrorFromErrno(errno);
  }

  Win32Error openSibling(const std::wstring& suffix, std::unique_ptr<FileHandle>& out, FileTimes& times) override {
    return OpenSiblingAt(folder_.get(), leaf_ + EncodeNative(suffix), out, times);
  }
  Win32Error stateNow(std::uint64_t& size, FileTimes& times) override { return StateOfFd(file_.get(), size, times); }
  Win32Error resize(std::uint64_t size) override { return ResizeFd(file_.get(), size); }
  Win32Error setTimes(const FileTimes& times) override { return SetTimesOfFd(file_.get(), times); }
  bool openForWritingElsewhere() override { return OpenForWritingElsewhere(file_.get()); }

 private:
  static bool fail(Win32Error& error, int err, const std::string& path) {
    error = Win32ErrorFromErrno(err, path);
    return false;
  }

  void finishPrepared() {
    if (prepared_.joinable()) prepared_.join();
  }

  // The backup's content and metadata, flushed. Made with kOnlyUs, it takes
  // the original's owner and access ACL before any content goes in, and the
  // mode (set-id bits included), the other attributes and the times after.
  // The content goes on to the disk as it is copied, so that the flush at
  // the end waits for little more than the last steps.
  bool fill(int copy, const struct stat& st) {
    mode_t mode = 0;
    return KeepAccess(file_.get(), st, copy, mode) && CopyContent(file_.get(), copy, true) &&
           KeepMetadata(file_.get(), st, mode, copy) && ::fsync(copy) == 0;
  }

  Fd folder_;
  std::string leaf_;
  std::string path_;
  Fd file_;
  struct stat opened_;
  bool nameIsLink_;
  Win32Error writeError_;
  std::unique_ptr<FileHandle> backup_;
  // The backup started early: its thread, its unnamed file, the file's state
  // it was made from, and the errno of a failure (0 for none).
  std::thread prepared_;
  Fd preparedFd_;
  struct stat preparedSt_ {};
  int preparedErrno_ = 0;
};

// The descriptor for the final write: the same open file reached again for
// writing. Without /proc the name is opened once more, and kept only if it
// is still the same regular file. Never waits: a lease another program holds
// on the file answers EWOULDBLOCK at once instead of holding the run until
// it is broken.
Fd ReopenForWriting(int fd, int folder, const std::string& leaf, const struct stat& st, Win32Error& error) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  Fd writable(OpenRetrying(self.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (writable.valid() && !Blocking(writable.get())) writable.close();
  if (!writable.valid() && errno == ENOENT) {
    writable = Fd(::openat(folder, leaf.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat again;
    if (writable.valid() && (::fstat(writable.get(), &again) != 0 || !SameFile(st, again) || !Blocking(writable.get()))) {
      writable.close();
      errno = EACCES;
    }
  }
  error = writable.valid() ? kErrorSuccess : Win32ErrorFromErrno(errno);
  return writable;
}

}  // namespace

HRESULT OpenHeldFileSystem(const std::wstring& path, bool forWriting, const Beneath* beneath,
                           std::unique_ptr<HeldFileSystem>& out) {
  out.reset();
  const std::string native = EncodeNative(path);
  if (native.empty()) return STG_E_FILENOTFOUND;
  if (native.find('\0') != std::string::npos) return STG_E_INVALIDNAME;

  const auto slash = native.find_last_of('/');
  const std::string leaf = slash == std::string::npos ? native : native.substr(slash + 1);
  // A path that ends in a folder ("x/", "x/.", "..") names no file to hold.
  if (leaf.empty() || leaf == "." || leaf == "..") {
    const Fd probe(OpenRetrying(native.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY));
    if (!probe.valid()) return ClassifyOpenError(errno, native, forWriting);
    return STG_E_ACCESSDENIED;
  }
  // A folder we may search but not read is still a place for the backup; it
  // cannot be flushed then.
  Fd folder;
  if (beneath) {
    // Found by a scan below `root`: the root as its trusted links lead, and
    // below it no link at all, the file's own name included.
    const std::optional<std::wstring> below = BelowRoot(beneath->root, path);
    if (!below) return kNotBeneath;
    HRESULT hr = S_OK;
    const Fd root = OpenTrustedFolder(EncodeNative(beneath->root), nullptr, hr);
    if (!root.valid()) return hr;
    const std::string relative = EncodeNative(*below);
    const auto last = relative.find_last_of('/');
    folder = OpenFolderBelow(root.get(), last == std::string::npos ? std::string() : relative.substr(0, last), hr);
    if (!folder.valid()) return hr;
  } else {
    const std::string folderName = FolderOf(native);
    folder = Fd(OpenRetrying(folderName.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK));
    if (!folder.valid() && errno == EACCES) folder = Fd(OpenRetrying(folderName.c_str(), O_PATH | O_DIRECTORY));
    if (!folder.valid()) return ClassifyOpenError(errno, native, forWriting);
  }

  // O_NONBLOCK keeps open(2) from waiting on a FIFO or device.
  const int noFollow = beneath ? O_NOFOLLOW : 0;
  Fd fd;
  do {
    fd = Fd(::openat(folder.get(), leaf.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | noFollow));
  } while (!fd.valid() && errno == EINTR);
  if (!fd.valid()) return beneath && errno == ELOOP ? kLinkOnTheWay : ClassifyOpenError(errno, native, forWriting);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return HResultFromSystemError(Win32ErrorFromErrno(errno, native));
  if (beneath && beneath->identity &&
      !(FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)} ==
        *beneath->identity)) {
    return kNotTheFileSeen;
  }
  if (S_ISDIR(st.st_mode)) return STG_E_ACCESSDENIED;
  if (!S_ISREG(st.st_mode)) return STG_E_FILEALREADYEXISTS;
  if (!Blocking(fd.get())) return HResultFromSystemError(Win32ErrorFromErrno(errno, native));

  // Whether the name was a link when it was opened decides how it is
  // compared with the file later.
  struct stat named;
  const bool nameIsLink =
      ::fstatat(folder.get(), leaf.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(named.st_mode);

  Win32Error writeError = kErrorAccessDenied;
  if (forWriting) {
    Fd writable = ReopenForWriting(fd.get(), folder.get(), leaf, st, writeError);
    // Another program's lease: the file is in use, as with its locks.
    if (!writable.valid() && (errno == EWOULDBLOCK || errno == EAGAIN)) return STG_E_SHAREVIOLATION;
    if (writable.valid()) fd = std::move(writable);
  }

  // A run that may write holds the file as a writer from the start, as the
  // Windows share mode does: a second fix, or a reader that locks, meets it
  // at its open and is turned away at once, instead of both runs getting as
  // far as the copy back and each finding the other in the way.
  const bool writer = writeError == kErrorSuccess;
  if (LockWhole(fd.get(), writer ? F_WRLCK : F_RDLCK) != 0 ||
      (FlockRetrying(fd.get(), writer ? LOCK_EX : LOCK_SH) != 0 && !NoFlockHere(errno))) {
    if (LockConflict(errno)) return STG_E_SHAREVIOLATION;
    return HResultFromSystemError(Win32ErrorFromErrno(errno, native));
  }
  out.reset(new PosixHeldFile(std::move(folder), leaf, native, std::move(fd), st, nameIsLink, writeError));
  return S_OK;
}

std::unique_ptr<FileHandle> ReaderOfOwnFile(Fd fd, std::uint64_t size) {
  return std::make_unique<FdReader>(std::move(fd), size);
}

}  // namespace platform
