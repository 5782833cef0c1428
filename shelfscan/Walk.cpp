#include "Walk.h"

#include <exception>
#include <optional>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include "ChildRun.h"
#include "FsPath.h"
#include "MainLog.h"
#include "Runs.h"
#include "platform/console.h"
#include "platform/links.h"
#include "platform/termination.h"
#include "platform/text.h"

namespace fs = boost::filesystem;

namespace shelfscan {

namespace {

const wchar_t kPathDoesNotExist[] = L"The path doesn't exist!";
const wchar_t kRootTestFailed[] = L"A problem occurred attempting to find if this path existed.";
const wchar_t kSkippedLink[] = L"Skipped symbolic link";

// A folder itself, not a link to one; the entry's cached type saves a call.
bool IsRealFolder(const fs::directory_entry& entry) {
  boost::system::error_code error;
  return fs::is_directory(entry.symlink_status(error)) && !error;
}

// Whether the entry is itself a link. Boost on Windows takes a reparse
// point it cannot examine for no link, so there the entry's own reparse tag
// decides (platform/links.h).
bool IsLink(const fs::directory_entry& entry) {
#ifdef _WIN32
  bool link = false;
  platform::Win32Error error = 0;
  if (!platform::IsLinkEntry(entry.path().wstring(), link, error)) {
    throw fs::filesystem_error("cannot examine the entry", entry.path(),
                               boost::system::error_code(static_cast<int>(error), boost::system::system_category()));
  }
  return link;
#else
  return fs::is_symlink(entry.symlink_status());
#endif
}

}  // namespace

FolderWalk::FolderWalk(const fs::path& root) : root_(root) {
  fs::directory_iterator listing(root);
  if (listing != fs::directory_iterator()) levels_.push_back(std::move(listing));
}

void FolderWalk::increment() {
  if (!noPush_ && IsRealFolder(entry())) {
    fs::directory_iterator listing(path());  // throws with the walk unchanged
    if (listing != fs::directory_iterator()) {
      levels_.push_back(std::move(listing));
      return;
    }
  }
  noPush_ = false;
  while (!levels_.empty()) {
    try {
      ++levels_.back();
    } catch (...) {
      levels_.pop_back();
      noPush_ = true;
      throw;
    }
    if (levels_.back() != fs::directory_iterator()) return;
    levels_.pop_back();
  }
}

void AdvanceWalk(FolderWalk& walk) {
  while (!walk.atEnd()) {
    try {
      walk.increment();
      return;
    } catch (const std::exception& error) {
      ReportScanError(FromFsPath(walk.atEnd() ? walk.root() : walk.path()),
                      platform::DecodeSystemText(error.what()), true);
      if (!walk.atEnd()) walk.noPush();
    }
  }
}

bool IsSelected(const fs::path& path) { return FromFsPath(path.extension()) == L".xls"; }

namespace {

// Once the lines of the files under way are written, a request to stop ends
// the scan, saying where.
void StopIfRequested(FileRuns& runs) {
  if (!platform::StopRequested()) return;
  runs.finish();
  runs.printSummary();
  const std::wstring lastFile = runs.lastLogged();
  platform::WriteLine(platform::ConsoleStream::kOutput,
                      lastFile.empty() ? std::wstring(L"Scan interrupted before any file was checked")
                                       : L"Scan interrupted at " + platform::SanitizeForLine(lastFile));
  platform::EndAsRequested();
}

}  // namespace

void ScanRoots(const std::vector<std::wstring>& roots, FileRuns& runs) {
  for (const std::wstring& root : roots) {
    StopIfRequested(runs);
    const fs::path rootPath = ToFsPath(root);
    try {
      const fs::file_type type = fs::status(rootPath).type();
      if (type == fs::file_not_found || type == fs::status_error) {
        ReportScanError(root, kPathDoesNotExist, true);
        continue;
      }
    } catch (const std::exception& error) {
      ReportScanError(root, platform::DecodeSystemText(error.what()), true);
      continue;
    } catch (...) {
      ReportScanError(root, kRootTestFailed, true);
      continue;
    }

    // A root that is a file, or cannot be listed, is reported like any other
    // root that cannot be searched, and the scan goes on.
    std::optional<FolderWalk> walk;
    try {
      walk.emplace(rootPath);
    } catch (const fs::filesystem_error& error) {
      ReportScanError(root, platform::DecodeSystemText(error.what()), true);
      continue;
    }
    while (!walk->atEnd()) {
      StopIfRequested(runs);
      bool link = false;
      bool folder = false;
      try {
        folder = fs::is_directory(walk->entry().status());
        link = IsLink(walk->entry());
      } catch (const std::exception& error) {
        ReportScanError(FromFsPath(walk->path()), platform::DecodeSystemText(error.what()), true);
        walk->noPush();
        AdvanceWalk(*walk);
        continue;
      }
      // A link met inside the tree is never followed, whatever it leads to:
      // a link to a file outside the tree would be fixed there, its backup
      // made in here.
      if (link) {
        ReportWarning(FromFsPath(walk->path()), kSkippedLink);
        walk->noPush();
      } else if (!folder && IsSelected(walk->path())) {
        runs.run(FromFsPath(walk->path()));
      }
      AdvanceWalk(*walk);
    }
  }
  runs.finish();
  StopIfRequested(runs);
}

}  // namespace shelfscan
