// Paths resolved one component at a time, each opened relative to the
// folder before it and never through a link it did not mean to follow, so
// that what the names lead to cannot change between a check and a use.
#include "beneath_fd.h"

#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/text.h"

namespace platform {
namespace {

// The kernel's own limit on links in one resolution.
constexpr int kMostLinks = 40;

std::deque<std::string> Components(const std::string& path) {
  std::deque<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    const std::size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > start) parts.push_back(path.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

// The folder for reading where that is allowed, else for searching only: a
// folder one may search but not read still leads to its files.
Fd OpenFolderAt(int at, const char* name, int& err) {
  Fd folder(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!folder.valid() && errno == EACCES) folder = Fd(::openat(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  err = folder.valid() ? 0 : errno;
  return folder;
}

HRESULT Failure(int err, const std::string& path) {
  if (err == ELOOP) return kLinkOnTheWay;
  return ClassifyOpenError(err, path, false);
}

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

Fd OpenTrustedFolder(const std::string& path, std::string* resolved, HRESULT& result) {
  result = S_OK;
  std::string at;
  if (!path.empty() && path[0] == '/') {
    at = "/";
  } else {
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) {
      result = Failure(errno, path);
      return Fd();
    }
    at = cwd;
  }
  int err = 0;
  Fd current = OpenFolderAt(AT_FDCWD, at.c_str(), err);
  if (!current.valid()) {
    result = Failure(err, path);
    return Fd();
  }
  std::deque<std::string> parts = Components(path);
  const uid_t me = ::geteuid();
  int links = 0;
  while (!parts.empty()) {
    const std::string part = parts.front();
    parts.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      current = OpenFolderAt(current.get(), "..", err);
      at = ParentOf(at);
      if (!current.valid()) {
        result = Failure(err, path);
        return Fd();
      }
      continue;
    }
    struct stat st;
    if (::fstatat(current.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      result = Failure(errno, path);
      return Fd();
    }
    if (S_ISLNK(st.st_mode)) {
      if ((st.st_uid != 0 && st.st_uid != me) || ++links > kMostLinks) {
        result = links > kMostLinks ? kLinkOnTheWay : kUntrustedLink;
        return Fd();
      }
      std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
      const ssize_t n = ::readlinkat(current.get(), part.c_str(), &target[0], target.size());
      if (n < 0 || static_cast<std::size_t>(n) >= target.size()) {
        result = Failure(n < 0 ? errno : ELOOP, path);
        return Fd();
      }
      target.resize(static_cast<std::size_t>(n));
      std::deque<std::string> more = Components(target);
      parts.insert(parts.begin(), more.begin(), more.end());
      if (!target.empty() && target[0] == '/') {
        current = OpenFolderAt(AT_FDCWD, "/", err);
        at = "/";
        if (!current.valid()) {
          result = Failure(err, path);
          return Fd();
        }
      }
      continue;
    }
    // Changed since the look? Then the open below sees a link and refuses.
    current = OpenFolderAt(current.get(), part.c_str(), err);
    if (!current.valid()) {
      result = Failure(err, path);
      return Fd();
    }
    at = at == "/" ? "/" + part : at + "/" + part;
  }
  if (resolved) *resolved = at;
  return current;
}

Fd OpenFolderBelow(int root, const std::string& relative, HRESULT& result) {
  result = S_OK;
  int err = 0;
  Fd current = OpenFolderAt(root, ".", err);
  for (const std::string& part : Components(relative)) {
    if (!current.valid()) break;
    if (part == "..") {
      result = kNotBeneath;
      return Fd();
    }
    if (part == ".") continue;
    current = OpenFolderAt(current.get(), part.c_str(), err);
  }
  if (!current.valid()) {
    // O_NOFOLLOW|O_DIRECTORY answers a link with ELOOP or ENOTDIR.
    result = err == ENOTDIR ? STG_E_PATHNOTFOUND : Failure(err, relative);
    return Fd();
  }
  return current;
}

HRESULT ResolveTrusted(const std::wstring& path, std::wstring& resolved) {
  std::string native;
  HRESULT result = S_OK;
  const Fd folder = OpenTrustedFolder(EncodeNative(path), &native, result);
  if (folder.valid()) resolved = DecodeNative(native);
  return result;
}

bool IsLinkNow(const std::wstring& path) {
  struct stat st;
  return ::lstat(EncodeNative(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool IdentityOf(const std::wstring& path, FileIdentity& identity, Win32Error& error) {
  const std::string native = EncodeNative(path);
  struct stat st;
  if (::lstat(native.c_str(), &st) != 0) {
    error = Win32ErrorFromErrno(errno, native);
    return false;
  }
  identity.device = static_cast<std::uint64_t>(st.st_dev);
  identity.file = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

}  // namespace platform
