// Running Bookmender on one file and turning its exit code into the file's
// status line in the main log.
#pragma once

#include <string>

namespace shelfscan {

// The label for a child's exit code (0 or more): "[ok],", "[fixed]," in fix
// mode or "[fixable]," in check mode for 1, ... and "[unexpected]," for
// codes Bookmender never returns.
const wchar_t* StatusLabel(int exitCode, bool fixMode);

// "<own folder>/Bookmender" ("<own folder>\Bookmender.exe" on Windows):
// Bookmender is expected beside Shelfscan only. "" when the own folder
// cannot be read.
std::wstring BookmenderPath();
// Whether Bookmender is there and may be started by this user; else false
// with the one line that says why.
bool BookmenderCanStart(std::wstring& problem);
// The detail log beside the main log: its last ".log" becomes "_detail.log".
std::wstring DetailLogPath(const std::wstring& logPath);

// Opens the detail log beside `logPath` for the whole run, under the main
// log's rules (never through a link, only a regular file of this user), to be
// handed to every child. False, after a console line naming it and the
// reason, when it cannot be used.
bool OpenDetailLog(const std::wstring& logPath);

// Appends the label and the path as one line to the main log.
void LogFileResult(const std::wstring& filePath, int exitCode, bool fixMode);

// Runs Bookmender on `filePath` in the chosen mode, its output appended to
// the detail log beside `logPath` (opened here if OpenDetailLog was not
// called; discarded when it cannot be used) or discarded, and logs the
// result: a status line, or a scan error line when the child could not be
// run to its end.
void RunBookmender(const std::wstring& filePath, const std::wstring& logPath, bool fixMode,
                   bool detail);

}  // namespace shelfscan
