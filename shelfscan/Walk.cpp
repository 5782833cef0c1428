#include "Walk.h"

#include <exception>
#include <memory>
#include <optional>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include "ChildRun.h"
#include "FsPath.h"
#include "MainLog.h"
#include "NamePattern.h"
#include "Runs.h"
#include "ScanContext.h"
#include "platform/beneath.h"
#include "platform/console.h"
#include "platform/links.h"
#include "platform/termination.h"
#include "platform/text.h"

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace fs = boost::filesystem;

namespace shelfscan {

namespace {

const wchar_t kPathDoesNotExist[] = L"The path doesn't exist!";
const wchar_t kRootTestFailed[] = L"A problem occurred attempting to find if this path existed.";
const wchar_t kSkippedLink[] = L"Skipped symbolic link";
const wchar_t kListedFolder[] = L"It is a folder; folders named in a file list are not searched.";
const wchar_t kUntrustedRoot[] =
    L"A symbolic link of another user lies on the way to this folder; it is not searched.";
const wchar_t kUntrustedListed[] =
    L"A symbolic link of another user lies on the way to this file; it is not checked.";

// What Bookmender is handed for `path`, found below `root`: that root and the
// identity the file has now, so that it opens this file there and no other.
FileToCheck Below(const std::wstring& root, const std::wstring& path) {
  FileToCheck file{path, platform::Beneath{root, std::nullopt}, std::nullopt};
  platform::FileIdentity identity;
  platform::Win32Error error = 0;
  // A file gone already is Bookmender's to report, as any missing file.
  if (platform::IdentityOf(path, identity, error)) file.beneath->identity = identity;
  return file;
}

// The folder part of a listed name: "." for a bare name.
std::wstring ListedFolder(const std::wstring& path) {
  std::size_t slash = path.find_last_of(L'/');
#ifdef _WIN32
  const std::size_t back = path.find_last_of(L"\\:");
  if (back != std::wstring::npos && (slash == std::wstring::npos || back > slash)) slash = back;
#endif
  if (slash == std::wstring::npos) return L".";
  if (slash == 0) return path.substr(0, 1);
#ifdef _WIN32
  if (path[slash] == L':' || (slash == 2 && path[1] == L':')) return path.substr(0, slash + 1);
#endif
  return path.substr(0, slash);
}
const std::wstring kEntryTooLong = L"An entry of more than " + std::to_wstring(kMaxListEntry) +
                                   L" bytes is no file name; it was skipped.";

// A folder itself, not a link to one; the entry's cached type saves a call.
bool IsRealFolder(const fs::directory_entry& entry) {
  boost::system::error_code error;
  return fs::is_directory(entry.symlink_status(error)) && !error;
}

// Whether the entry is itself a link. Boost on Windows takes a reparse
// point it cannot examine for no link, so there the entry's own reparse tag
// decides (platform/links.h).
#ifdef _WIN32
bool IsLinkPath(const fs::path& path) {
  bool link = false;
  platform::Win32Error error = 0;
  if (!platform::IsLinkEntry(path.wstring(), link, error)) {
    throw fs::filesystem_error("cannot examine the entry", path,
                               boost::system::error_code(static_cast<int>(error), boost::system::system_category()));
  }
  return link;
}

bool IsLink(const fs::directory_entry& entry) { return IsLinkPath(entry.path()); }
#else
bool IsLink(const fs::directory_entry& entry) { return fs::is_symlink(entry.symlink_status()); }
#endif

// ".xls" in any letter case.
bool IsXlsInAnyCase(const std::wstring& extension) {
  return extension.size() == 4 && extension[0] == L'.' && (extension[1] | 0x20) == L'x' &&
         (extension[2] | 0x20) == L'l' && (extension[3] | 0x20) == L's';
}

// A name from a file list, handled as the walk would handle it had it met
// the name: a link is reported and not followed, any other file is checked
// whatever its extension (the user chose it). What the walk never hands on
// is said in a line: a name that does not exist, a folder.
template <typename CheckFile>
void CheckListed(MainLog& log, const std::wstring& path, const CheckFile& checkFile) {
  const fs::path fsPath = ToFsPath(path);
  bool link = false;
  bool folder = false;
  try {
    const fs::file_status own = fs::symlink_status(fsPath);
    if (own.type() == fs::file_not_found) {
      log.ReportScanError(path, kPathDoesNotExist, true);
      return;
    }
#ifdef _WIN32
    link = IsLinkPath(fsPath);
#else
    link = fs::is_symlink(own);
#endif
    folder = fs::is_directory(own);
  } catch (const std::exception& error) {
    log.ReportScanError(path, platform::DecodeSystemText(error.what()), true);
    return;
  }
  if (link) {
    log.ReportWarning(path, kSkippedLink);
  } else if (folder) {
    log.ReportScanError(path, kListedFolder, true);
  } else {
    // The folder as the links of root and of this user lead; none below it.
    const std::wstring root = ListedFolder(path);
    std::wstring resolved;
    if (platform::ResolveTrusted(root, resolved) == platform::kUntrustedLink) {
      log.ReportScanError(path, kUntrustedListed, true);
      return;
    }
    checkFile(Below(root, path));
  }
}

// Every entry of one list, in order, until its end. A read that fails ends
// the list with a scan error line; the scan goes on.
template <typename CheckFile, typename StopCheck>
void ScanList(MainLog& log, FileList& list, const Exclusions& exclusions, const CheckFile& checkFile,
              const StopCheck& stopIfRequested) {
  ListEntry entry;
  bool failed = false;
  platform::Win32Error error = 0;
  // A line lost by a run on another thread ends the wait for the list too.
  while (list.next(entry, failed, error, [&log] { return log.stopped(); })) {
    stopIfRequested();
    if (entry.tooLong) {
      log.ReportScanError(list.path(), kEntryTooLong, true);
      continue;
    }
    // Decoded as names and arguments are, so that the child gets back the
    // very bytes of the list.
    const std::wstring path = platform::DecodeNative(entry.bytes);
    if (exclusions.matchLastName(path)) continue;
    CheckListed(log, path, checkFile);
  }
  log.throwIfStopped();
  if (failed) {
    log.ReportScanError(list.path(), L"Cannot read the file list: " + ListReadProblem(list.path(), error) +
                                     L" The rest of the list is not checked.",
                    true);
  }
}

}  // namespace

#ifndef _WIN32
// A folder's entries read through a descriptor of the folder itself. The
// errors are those of Boost's own listing, with the same words.
class FolderWalk::Listing {
 public:
  // The root by its path; a folder below by its name in the folder `parent`,
  // never through a link.
  Listing(int parent, const fs::path& folder) : folder_(folder) {
    const int fd = parent == AT_FDCWD
                       ? ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                       : ::openat(parent, folder.filename().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      // A link in the folder's place answers "not a directory": say "link".
      struct stat st;
      if (errno == ENOTDIR && parent != AT_FDCWD &&
          ::fstatat(parent, folder.filename().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        errno = ELOOP;
      }
      Fail("boost::filesystem::directory_iterator::construct");
    }
    dir_ = ::fdopendir(fd);
    if (dir_ == nullptr) {
      const int err = errno;
      ::close(fd);
      errno = err;
      Fail("boost::filesystem::directory_iterator::construct");
    }
    next("boost::filesystem::directory_iterator::construct");
  }
  ~Listing() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;

  bool atEnd() const { return end_; }
  const fs::directory_entry& entry() const { return entry_; }
  int fd() const { return ::dirfd(dir_); }
  void next(const char* what = "boost::filesystem::directory_iterator::operator++") {
    for (;;) {
      errno = 0;
      const dirent* e = ::readdir(dir_);
      if (e == nullptr) {
        if (errno != 0) Fail(what);
        end_ = true;
        return;
      }
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      entry_.assign(folder_ / e->d_name);
      return;
    }
  }

 private:
  [[noreturn]] void Fail(const char* what) const {
    throw fs::filesystem_error(what, folder_, boost::system::error_code(errno, boost::system::system_category()));
  }

  fs::path folder_;
  DIR* dir_ = nullptr;
  fs::directory_entry entry_;
  bool end_ = false;
};
#else
// Boost's own listing; the Windows hand-over refuses reparse points below
// the root (platform/beneath.h).
class FolderWalk::Listing {
 public:
  Listing(int, const fs::path& folder) : iterator_(folder) {}
  bool atEnd() const { return iterator_ == fs::directory_iterator(); }
  const fs::directory_entry& entry() const { return *iterator_; }
  int fd() const { return 0; }  // a folder below is opened by its path
  void next() { ++iterator_; }

 private:
  fs::directory_iterator iterator_;
};
#endif

FolderWalk::FolderWalk(const fs::path& root) : root_(root) {
#ifndef _WIN32
  auto listing = std::make_unique<Listing>(AT_FDCWD, root);
#else
  auto listing = std::make_unique<Listing>(0, root);
#endif
  if (!listing->atEnd()) levels_.push_back(std::move(listing));
}

FolderWalk::~FolderWalk() = default;
FolderWalk::FolderWalk(FolderWalk&&) noexcept = default;
FolderWalk& FolderWalk::operator=(FolderWalk&&) noexcept = default;

const fs::directory_entry& FolderWalk::entry() const { return levels_.back()->entry(); }

void FolderWalk::increment() {
  if (!noPush_ && IsRealFolder(entry())) {
    // Throws with the walk unchanged.
    auto listing = std::make_unique<Listing>(levels_.back()->fd(), path());
    if (!listing->atEnd()) {
      levels_.push_back(std::move(listing));
      return;
    }
  }
  noPush_ = false;
  while (!levels_.empty()) {
    try {
      levels_.back()->next();
    } catch (...) {
      levels_.pop_back();
      noPush_ = true;
      throw;
    }
    if (!levels_.back()->atEnd()) return;
    levels_.pop_back();
  }
}

void AdvanceWalk(FolderWalk& walk, MainLog& log) {
  while (!walk.atEnd()) {
    try {
      walk.increment();
      return;
    } catch (const std::exception& error) {
      log.ReportScanError(FromFsPath(walk.atEnd() ? walk.root() : walk.path()),
                      platform::DecodeSystemText(error.what()), true);
      if (!walk.atEnd()) walk.noPush();
    }
  }
}

bool IsSelected(const fs::path& path, bool anyCase) {
  const std::wstring extension = FromFsPath(path.extension());
  if (extension == L".xls") return true;
  return anyCase && IsXlsInAnyCase(extension);
}

void StopIfRequested(FileRuns& runs) {
  runs.context().log.throwIfStopped();
  if (!platform::StopRequested()) return;
  runs.finish();
  runs.printSummary();
  const std::wstring lastFile = runs.lastLogged();
  platform::WriteLine(platform::ConsoleStream::kOutput,
                      lastFile.empty() ? std::wstring(L"Scan interrupted before any file was checked")
                                       : L"Scan interrupted at " + platform::SanitizeForLine(lastFile));
  throw ScanInterrupted();
}

void ScanRoots(const ScanOptions& options, std::vector<FileList>& lists, FileRuns& runs) {
  MainLog& log = runs.context().log;
  const Exclusions exclusions(options.exclusions);
  // The one step that runs Bookmender on a file, found by the walk or listed.
  const auto checkFile = [&](const FileToCheck& file) { runs.run(file); };
  // The lists given before root number `roots`, in order.
  std::size_t nextList = 0;
  const auto readListsBefore = [&](std::size_t roots) {
    for (; nextList < lists.size() && options.fileLists[nextList].rootsBefore <= roots; ++nextList) {
      ScanList(log, lists[nextList], exclusions, checkFile, [&] { StopIfRequested(runs); });
    }
  };

  std::size_t rootsDone = 0;
  for (const std::wstring& root : options.roots) {
    readListsBefore(rootsDone++);
    StopIfRequested(runs);
    const fs::path rootPath = ToFsPath(root);
    try {
      const fs::file_type type = fs::status(rootPath).type();
      if (type == fs::file_not_found || type == fs::status_error) {
        log.ReportScanError(root, kPathDoesNotExist, true);
        continue;
      }
    } catch (const std::exception& error) {
      log.ReportScanError(root, platform::DecodeSystemText(error.what()), true);
      continue;
    } catch (...) {
      log.ReportScanError(root, kRootTestFailed, true);
      continue;
    }

    // A search path is followed through the links of root and of this user
    // only, here and by Bookmender.
    std::wstring resolved;
    if (platform::ResolveTrusted(root, resolved) == platform::kUntrustedLink) {
      log.ReportScanError(root, kUntrustedRoot, true);
      continue;
    }
    // A root that is a file, or cannot be listed, is reported like any other
    // root that cannot be searched, and the scan goes on.
    std::optional<FolderWalk> walk;
    try {
      walk.emplace(rootPath);
    } catch (const fs::filesystem_error& error) {
      log.ReportScanError(root, platform::DecodeSystemText(error.what()), true);
      continue;
    }
    while (!walk->atEnd()) {
      StopIfRequested(runs);
      // An excluded name is neither looked at nor entered, and leaves no line.
      if (!exclusions.empty() && exclusions.matchName(FromFsPath(walk->path().filename()))) {
        walk->noPush();
        AdvanceWalk(*walk, log);
        continue;
      }
      bool link = false;
      bool folder = false;
      try {
        folder = fs::is_directory(walk->entry().status());
        link = IsLink(walk->entry());
      } catch (const std::exception& error) {
        log.ReportScanError(FromFsPath(walk->path()), platform::DecodeSystemText(error.what()), true);
        walk->noPush();
        AdvanceWalk(*walk, log);
        continue;
      }
      // A link met inside the tree is never followed, whatever it leads to:
      // a link to a file outside the tree would be fixed there, its backup
      // made in here.
      if (link) {
        log.ReportWarning(FromFsPath(walk->path()), kSkippedLink);
        walk->noPush();
      } else if (!folder && IsSelected(walk->path(), options.anyCase)) {
        checkFile(Below(root, FromFsPath(walk->path())));
      } else if (!folder && IsSelected(walk->path(), true)) {
        ++runs.filesPassedOverForCase;
      }
      AdvanceWalk(*walk, log);
    }
  }
  readListsBefore(options.roots.size());
  runs.finish();
  StopIfRequested(runs);
}

}  // namespace shelfscan
