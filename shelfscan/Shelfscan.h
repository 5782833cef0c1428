// Shelfscan from its arguments to its exit code.
#pragma once

#include <string>
#include <vector>

namespace shelfscan {

// Makes `folder` (one level) unless it exists. On failure writes the scan
// error line on the console only, as there is no log yet, and returns false.
bool EnsureLogFolder(const std::wstring& folder);

// The whole run over the arguments without the program name: 0 when the walk
// was run, 1 when no search path was given, Bookmender cannot be started or
// the log folder or a log is unusable. A line the main log cannot keep ends
// the program with kExitLineLost (MainLog.h) instead.
int RunShelfscan(const std::vector<std::wstring>& arguments);

}  // namespace shelfscan
