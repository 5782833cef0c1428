// The log folder on Linux: the path is walked a name at a time from the root
// folder through descriptors, each name opened as itself (O_PATH |
// O_NOFOLLOW) and judged by what was opened, links resolved here by the same
// rules as the system's. Once every folder on the way is one that only root
// or this user can change, the logs can be opened by their names later: no
// other user can make those names lead anywhere else.
#include "platform/log_folder.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"
#include "platform/text.h"

namespace platform {

namespace {

// How many links one path may pass through, as the system allows.
constexpr int kMaxLinks = 40;

bool Trusted(uid_t owner) { return owner == 0 || owner == ::geteuid(); }
bool OpenToOthers(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

bool Fail(LogFolderProblem& problem, LogFolderFault fault, const std::string& where = std::string()) {
  problem.fault = fault;
  problem.where = DecodeNative(where);
  return false;
}

bool FailErrno(LogFolderProblem& problem, int err) {
  problem.fault = LogFolderFault::kSystem;
  problem.text = DecodeSystemText(std::strerror(err));
  return false;
}

// The names of `path`, without empty ones and ".".
void AppendNames(const std::string& path, std::deque<std::string>& names, bool atFront) {
  std::deque<std::string> found;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(start, end - start);
    if (!name.empty() && name != ".") found.push_back(name);
    start = end + 1;
  }
  if (atFront) {
    names.insert(names.begin(), found.begin(), found.end());
  } else {
    names.insert(names.end(), found.begin(), found.end());
  }
}

// `shown` without its last name ("/a/b/" gives "/a/").
std::string ParentShown(const std::string& shown) {
  if (shown.size() <= 1) return "/";
  const std::size_t slash = shown.find_last_of('/', shown.size() - 2);
  return shown.substr(0, slash + 1);
}

std::string LinkTarget(int fd, int& err) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = ::readlinkat(fd, "", target.data(), target.size());
    if (n < 0) {
      err = errno;
      return std::string();
    }
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

// The name opened as itself in `folder`: a link is opened, not followed.
Fd OpenAsItself(int folder, const std::string& name) {
  int fd;
  do {
    fd = ::openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return Fd(fd);
}

}  // namespace

bool PrepareLogFolder(const std::wstring& folder, LogFolderProblem& problem) {
  problem = LogFolderProblem();
  const std::string native = EncodeNative(folder);
  if (native.empty()) return FailErrno(problem, ENOENT);

  // A relative folder is reached from the current folder, whose own way from
  // the root counts as well.
  std::deque<std::string> names;
  if (native.front() != '/') {
    std::string current(4096, '\0');
    while (::getcwd(current.data(), current.size()) == nullptr) {
      if (errno != ERANGE) return FailErrno(problem, errno);
      current.resize(current.size() * 2);
    }
    AppendNames(current.c_str(), names, false);
  }
  AppendNames(native, names, false);

  Fd here(OpenRetrying("/", O_PATH | O_DIRECTORY));
  if (!here.valid()) return FailErrno(problem, errno);
  std::string shown = "/";  // where `here` is, for the messages
  struct stat st;
  if (::fstat(here.get(), &st) != 0) return FailErrno(problem, errno);
  int links = 0;
  bool made = false;
  while (!names.empty()) {
    const std::string name = names.front();
    names.pop_front();
    const bool last = names.empty();
    if (name == "..") {
      // Up to a folder already passed on the way down: checked.
      here = Fd(::openat(here.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (!here.valid() || ::fstat(here.get(), &st) != 0) return FailErrno(problem, errno);
      shown = ParentShown(shown);
      continue;
    }
    // `st` is `here`'s: whoever may change its names could swap the next one.
    if (!Trusted(st.st_uid)) return Fail(problem, LogFolderFault::kPlaceNotOwned, shown);
    if (OpenToOthers(st) && !(st.st_mode & S_ISVTX)) return Fail(problem, LogFolderFault::kPlaceOpenToOthers, shown);

    Fd next = OpenAsItself(here.get(), name);
    if (!next.valid() && errno == ENOENT && last && !made) {
      // Made for its owner alone, then opened and checked as any folder: a
      // name that appeared meanwhile (another scan's folder, or a planted
      // one) is judged as found.
      if (::mkdirat(here.get(), name.c_str(), 0700) == 0) {
        made = true;
        // Whatever the umask took away, the owner may use it and nobody else.
        if (::fchmodat(here.get(), name.c_str(), 0700, 0) != 0) return FailErrno(problem, errno);
      } else if (errno != EEXIST) {
        return FailErrno(problem, errno);
      }
      next = OpenAsItself(here.get(), name);
    }
    if (!next.valid() || ::fstat(next.get(), &st) != 0) return FailErrno(problem, errno);

    if (S_ISLNK(st.st_mode)) {
      if (last) return Fail(problem, LogFolderFault::kLink);
      if (!Trusted(st.st_uid)) return Fail(problem, LogFolderFault::kLinkNotOwned, shown + name);
      if (++links > kMaxLinks) return FailErrno(problem, ELOOP);
      int err = 0;
      const std::string target = LinkTarget(next.get(), err);
      if (target.empty()) return FailErrno(problem, err != 0 ? err : ENOENT);
      AppendNames(target, names, true);
      if (target.front() == '/') {
        here = Fd(OpenRetrying("/", O_PATH | O_DIRECTORY));
        if (!here.valid()) return FailErrno(problem, errno);
        shown = "/";
      }
      if (::fstat(here.get(), &st) != 0) return FailErrno(problem, errno);
      continue;
    }
    if (!S_ISDIR(st.st_mode)) return FailErrno(problem, last ? EEXIST : ENOTDIR);
    shown += name + "/";
    if (!Trusted(st.st_uid)) {
      return Fail(problem, last ? LogFolderFault::kNotOwned : LogFolderFault::kPlaceNotOwned, shown);
    }
    here = std::move(next);
  }
  // The folder itself: the checks of the folders on the way are behind it.
  if (!Trusted(st.st_uid)) return Fail(problem, LogFolderFault::kNotOwned);
  if (OpenToOthers(st) && st.st_uid != ::geteuid()) return Fail(problem, LogFolderFault::kOpenToOthers);
  return true;
}

}  // namespace platform
