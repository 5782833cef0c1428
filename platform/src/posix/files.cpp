#include "platform/files.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "copy_content.h"
#include "fd.h"
#include "platform/text.h"

namespace platform {

namespace {

bool Fail(Win32Error& error, int err, const std::string& path) {
  error = Win32ErrorFromErrno(err, path);
  return false;
}

// Flushes a folder's entries, so that a name just given survives a power
// loss as well as its data. A folder we may write into but not read cannot be
// opened for this, and a file system that cannot flush folders says EINVAL:
// both leave the name to the file system's own ordering, as before. Returns
// the error number, or 0.
int FlushFolder(const std::string& folder) {
  Fd dir(OpenRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (dir.get() < 0) return errno == EACCES || errno == EPERM ? 0 : errno;
  if (::fsync(dir.get()) != 0 && errno != EINVAL) return errno;
  return 0;
}

// Takes O_NONBLOCK off again once the file is known to be a regular one.
bool Blocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Gives a copy the metadata of its source, as `cp -a` does: owner and group,
// mode, extended attributes (ACLs among them) and then the access and
// modification times, which the writes before would change. Without the
// right to give the file away, the group is kept where it can be and the
// set-id bits are dropped. An attribute the system will not take from us
// (EPERM: trusted or security attributes for an ordinary user; ENOTSUP) is
// left out, except an ACL: a backup without its ACL could be open to
// someone the original shuts out. False with errno on failure.
bool KeepMetadata(int in, const struct stat& st, int out) {
  mode_t mode = st.st_mode & 07777;
  if (::fchown(out, st.st_uid, st.st_gid) != 0) {
    if (errno != EPERM && errno != EINVAL) return false;
    if (::fchown(out, static_cast<uid_t>(-1), st.st_gid) != 0 && errno != EPERM && errno != EINVAL) return false;
    mode &= 01777;
  }
  if (::fchmod(out, mode) != 0) return false;

  std::vector<char> names;
  for (;;) {
    const ssize_t size = ::flistxattr(in, nullptr, 0);
    if (size < 0) {
      if (errno == ENOTSUP) break;
      return false;
    }
    names.resize(static_cast<std::size_t>(size));
    const ssize_t got = size == 0 ? 0 : ::flistxattr(in, names.data(), names.size());
    if (got >= 0) {
      names.resize(static_cast<std::size_t>(got));
      break;
    }
    if (errno != ERANGE) return false;  // ERANGE: the list grew meanwhile
  }
  std::vector<char> value;
  for (std::size_t at = 0; at < names.size();) {
    const char* name = names.data() + at;
    at += std::strlen(name) + 1;
    const bool acl = std::strncmp(name, "system.posix_acl_", 17) == 0;
    ssize_t size = ::fgetxattr(in, name, nullptr, 0);
    if (size >= 0) {
      value.resize(static_cast<std::size_t>(size));
      size = ::fgetxattr(in, name, value.data(), value.size());
    }
    if (size < 0) {
      if (errno == ENODATA) continue;  // removed meanwhile
      return false;
    }
    if (::fsetxattr(out, name, value.data(), static_cast<std::size_t>(size), 0) != 0) {
      if (!acl && (errno == EPERM || errno == ENOTSUP || errno == EACCES)) continue;
      return false;
    }
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  return ::futimens(out, times) == 0;
}

// The exclusive copy: written as an unnamed file in the target's folder,
// flushed, then linked under its name, which fails when the name exists, and
// the folder flushed after it. A kill at any moment leaves either no file or
// a complete one, and once this returns true the copy and its name are both
// on disk, so the caller may overwrite the source. File systems without
// unnamed files get a plain exclusive create, removed on failure.
bool CopyExclusive(int in, const struct stat& st, const std::string& target, Win32Error& error) {
  const std::string folder = FolderOf(target);
  // Created without the set-id bits: they come back only with the owner.
  const mode_t mode = st.st_mode & 01777;
  Fd unnamed(OpenRetrying(folder.c_str(), O_TMPFILE | O_WRONLY, mode));
  if (unnamed.get() >= 0) {
    if (!CopyContent(in, unnamed.get()) || !KeepMetadata(in, st, unnamed.get()) || ::fsync(unnamed.get()) != 0) {
      return Fail(error, errno, target);
    }
    const std::string link = "/proc/self/fd/" + std::to_string(unnamed.get());
    if (::linkat(AT_FDCWD, link.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      return Fail(error, errno, target);
    }
    int err = unnamed.close() != 0 ? errno : 0;
    if (err == 0) err = FlushFolder(folder);
    if (err != 0) {
      ::unlink(target.c_str());
      return Fail(error, err, target);
    }
    return true;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
    return Fail(error, errno, target);
  }
  Fd out(OpenRetrying(target.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode));
  if (out.get() < 0) return Fail(error, errno, target);
  int err = 0;
  if (!CopyContent(in, out.get()) || !KeepMetadata(in, st, out.get()) || ::fsync(out.get()) != 0 ||
      out.close() != 0) {
    err = errno;
  }
  if (err == 0) err = FlushFolder(folder);
  if (err != 0) {
    ::unlink(target.c_str());
    return Fail(error, err, target);
  }
  return true;
}

}  // namespace

bool CopyWholeFile(const std::wstring& source, const std::wstring& target, bool failIfExists,
                   Win32Error& error, bool flushToDisk) {
  error = kErrorSuccess;
  const std::string from = EncodeNative(source);
  const std::string to = EncodeNative(target);
  // Neither open waits on a FIFO or device that has taken a name meanwhile:
  // only regular files are copied, and nothing else is written.
  Fd in(OpenRetrying(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (in.get() < 0) return Fail(error, errno, from);
  struct stat st;
  if (::fstat(in.get(), &st) != 0) return Fail(error, errno, from);
  if (!S_ISREG(st.st_mode) || !Blocking(in.get())) return Fail(error, EACCES, from);

  if (failIfExists) return CopyExclusive(in.get(), st, to, error);

  // Overwrite in place: the target keeps its identity. A new target gets the
  // source's permission bits.
  Fd out(OpenRetrying(to.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY, st.st_mode & 07777));
  if (out.get() < 0) return Fail(error, errno, to);
  struct stat existing;
  if (::fstat(out.get(), &existing) != 0) return Fail(error, errno, to);
  if (!S_ISREG(existing.st_mode) || !Blocking(out.get())) return Fail(error, EACCES, to);
  if (::ftruncate(out.get(), 0) != 0) return Fail(error, errno, to);
  if (!CopyContent(in.get(), out.get())) return Fail(error, errno, to);
  if (flushToDisk && ::fsync(out.get()) != 0) return Fail(error, errno, to);
  if (out.close() != 0) return Fail(error, errno, to);
  return true;
}

bool DeleteFileAt(const std::wstring& path) { return ::unlink(EncodeNative(path).c_str()) == 0; }

std::wstring TemporaryFolder() {
  std::string folder = "/tmp";
  if (const char* env = std::getenv("TMPDIR"); env && *env) {
    struct stat st;
    if (::stat(env, &st) == 0 && S_ISDIR(st.st_mode)) folder = env;
  }
  if (folder.back() != '/') folder.push_back('/');
  return DecodeNative(folder);
}

bool ReserveTemporaryFile(const std::wstring& folder, const std::wstring& prefix, std::wstring& path,
                          Win32Error& error) {
  // Like the system's own scheme: a 16-bit counter from a random start,
  // trying every number once before giving up.
  std::random_device seed;
  const unsigned start = seed() & 0xFFFF;
  for (unsigned i = 0; i < 0x10000; ++i) {
    const unsigned unique = (start + i) & 0xFFFF;
    if (unique == 0) continue;
    wchar_t hex[8];
    std::swprintf(hex, 8, L"%X", unique);
    const std::wstring candidate = folder + prefix + hex + L".tmp";
    const std::string native = EncodeNative(candidate);
    const Fd reserved(OpenRetrying(native.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
    if (reserved.valid()) {
      path = candidate;
      return true;
    }
    if (errno != EEXIST) return Fail(error, errno, native);
  }
  error = kErrorFileExists;
  return false;
}

}  // namespace platform
