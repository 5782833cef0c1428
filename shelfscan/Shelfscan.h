// Shelfscan from its arguments to its exit code.
#pragma once

#include <string>
#include <vector>

namespace shelfscan {

// Makes `folder` (one level, private to its owner) unless it exists, and
// checks that no other user can read, replace or redirect what goes into it
// (platform/log_folder.h). A folder that cannot be made gets its scan error
// line and "Could not create log folder at path:"; one that is refused gets
// one scan error line saying why. Both go to the console only, as there is
// no log yet; false then.
bool EnsureLogFolder(const std::wstring& folder);

// The whole run over the arguments without the program name: 0 when the walk
// was run, 1 when no search path was given, Bookmender cannot be started or
// the log folder or a log is unusable. A line the main log cannot keep ends
// the program with kExitLineLost (MainLog.h) instead.
int RunShelfscan(const std::vector<std::wstring>& arguments);

}  // namespace shelfscan
