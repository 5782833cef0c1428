#include "metadata.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

constexpr char kAccessAcl[] = "system.posix_acl_access";

// The value of attribute `name` of `fd`: its size, or -1 with errno.
ssize_t GetAttribute(int fd, const char* name, std::vector<char>& value) {
  for (;;) {
    ssize_t size = ::fgetxattr(fd, name, nullptr, 0);
    if (size <= 0) return size;
    value.resize(static_cast<std::size_t>(size));
    size = ::fgetxattr(fd, name, value.data(), value.size());
    if (size >= 0 || errno != ERANGE) return size;  // ERANGE: it grew meanwhile
  }
}

}  // namespace

bool KeepAccess(int in, const struct stat& st, int out, mode_t& mode) {
  mode = st.st_mode & 07777;
  if (::fchown(out, st.st_uid, st.st_gid) != 0) {
    if (errno != EPERM && errno != EINVAL) return false;
    if (::fchown(out, static_cast<uid_t>(-1), st.st_gid) != 0 && errno != EPERM && errno != EINVAL) return false;
    mode &= 01777;
  }
  std::vector<char> acl;
  const ssize_t size = GetAttribute(in, kAccessAcl, acl);
  if (size >= 0) return ::fsetxattr(out, kAccessAcl, acl.data(), static_cast<std::size_t>(size), 0) == 0;
  // ENOTSUP: a file system without ACLs, where the copy inherited none.
  if (errno != ENODATA && errno != ENOTSUP) return false;
  return ::fremovexattr(out, kAccessAcl) == 0 || errno == ENODATA || errno == ENOTSUP;
}

// An attribute the system will not take from us (EPERM: trusted or security
// attributes for an ordinary user; ENOTSUP) is left out, except an ACL: a
// copy without its ACL could be open to someone the source shuts out.
bool KeepMetadata(int in, const struct stat& st, mode_t mode, int out) {
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
    if (std::strcmp(name, kAccessAcl) == 0) continue;  // KeepAccess's
    const bool acl = std::strncmp(name, "system.posix_acl_", 17) == 0;
    const ssize_t size = GetAttribute(in, name, value);
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

int FlushFolder(int folder) {
  if (::fsync(folder) != 0 && errno != EINVAL && errno != EBADF) return errno;
  return 0;
}

}  // namespace platform
