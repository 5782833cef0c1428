// The log folder on Windows: a missing one is made with an access list of its
// own (private_access.h), not inherited from its parent, where every user of
// the machine may often read. An existing folder is refused when its name is
// a reparse point; owners are not looked at, as for the logs themselves.
#include "platform/log_folder.h"

#include <windows.h>

#include <string>

#include "platform/hresult.h"
#include "platform/links.h"
#include "private_access.h"

namespace platform {

namespace {

bool FailSystem(LogFolderProblem& problem, DWORD code) {
  problem.fault = LogFolderFault::kSystem;
  if (!SystemMessageText(code, problem.text)) problem.text = L"System error " + std::to_wstring(code) + L".";
  while (!problem.text.empty() && (problem.text.back() == L'\n' || problem.text.back() == L'\r' ||
                                   problem.text.back() == L' ')) {
    problem.text.pop_back();
  }
  return false;
}

}  // namespace

bool PrepareLogFolder(const std::wstring& folder, LogFolderProblem& problem) {
  problem = LogFolderProblem();
  // The folder's own entry: without the separators at its end (but for a
  // drive's root), which would name what a link leads to.
  std::wstring entry = folder;
  while (entry.size() > 3 && (entry.back() == L'\\' || entry.back() == L'/')) entry.pop_back();

  DWORD attributes = ::GetFileAttributesW(entry.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD missing = ::GetLastError();
    if (missing != ERROR_FILE_NOT_FOUND) return FailSystem(problem, missing);
    PrivateAccess access(true);
    if (!access.attributes()) return FailSystem(problem, access.error());
    // A folder that another scan made meanwhile is checked as found.
    if (!::CreateDirectoryW(entry.c_str(), access.attributes())) {
      const DWORD e = ::GetLastError();
      if (e != ERROR_ALREADY_EXISTS) return FailSystem(problem, e);
    }
    attributes = ::GetFileAttributesW(entry.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FailSystem(problem, ::GetLastError());
  }
  bool link = false;
  Win32Error error = 0;
  if (!IsLinkEntry(entry, link, error)) return FailSystem(problem, error);
  if (link) {
    problem.fault = LogFolderFault::kLink;
    return false;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return FailSystem(problem, ERROR_ALREADY_EXISTS);
  return true;
}

}  // namespace platform
