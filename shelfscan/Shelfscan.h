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

// What RunShelfscan returns when a request to stop ended the walk: the
// caller then ends the program as the request asked
// (platform::EndAsRequested).
inline constexpr int kExitInterrupted = 130;

// The whole run over the arguments without the program name: 0 when the walk
// was run, 1 when no search path was given, Bookmender cannot be started or
// the log folder or a log is unusable, kExitLineLost (MainLog.h) when a line
// the main log or the report cannot keep stopped the scan, kExitInterrupted
// after a request to stop. Nothing below it ends the program: every stop
// unwinds to here.
int RunShelfscan(const std::vector<std::wstring>& arguments);

}  // namespace shelfscan
