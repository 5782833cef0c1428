// Running Bookmender on one file and turning its exit code into the file's
// status line in the main log.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace shelfscan {

// The label for a child's exit code (0 or more): "[ok],", "[fixed]," in fix
// mode or "[fixable]," in check mode for 1, ... and "[unexpected]," for
// codes Bookmender never returns.
const wchar_t* StatusLabel(int exitCode, bool fixMode);
// The label of the line of a file whose run failed: a scan error line.
inline constexpr wchar_t kScanErrorLabel[] = L"[scan err],";
// The label of a file whose run passed the time limit and was ended.
inline constexpr wchar_t kTimedOutLabel[] = L"[timed out],";
// A label's word: "[container problem]," gives "container problem".
std::wstring LabelWord(const std::wstring& label);

// The backup that a Bookmender run in fix mode names in its output (the
// line "Backup copy successfully created: NAME"): `filePath` itself followed
// by the suffix of the name shown, so that the path comes back exact even
// where the line shows U+FFFD; the name as shown when it is no backup name
// of that path. Nothing when no backup was made.
std::optional<std::wstring> BackupFromOutput(const std::string& output, const std::wstring& filePath);

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
// Before OpenDetailLog: whether the children's output is gathered and
// appended by AppendDetail, a run at a time (else each child writes into the
// log itself).
void SetDetailGathered(bool gathered);
// Appends one run's gathered output to the detail log in one locked step.
// False, after a console line naming the log, the reason and the file, when
// it cannot be written.
bool AppendDetail(const std::string& output, const std::wstring& filePath);

// Appends the label and the path as one line to the main log.
void LogFileResult(const std::wstring& filePath, int exitCode, bool fixMode);

// Runs Bookmender with `arguments` (on `filePath`) within `limit`, its
// output appended to the detail log beside `logPath` (opened here if
// OpenDetailLog was not called; discarded when it cannot be used) or
// discarded, and logs the result: a status line, or a scan error line when
// the child could not be run to its end. Returns the line's label.
const wchar_t* RunBookmender(const std::wstring& filePath, const std::vector<platform::ChildArgument>& arguments,
                             const std::wstring& logPath, bool detail, bool fixMode, platform::ChildTimeLimit limit);

// Logs how a run ended: the status line, the line of a run that passed its
// time limit, or the scan error line of a run that failed. Returns the
// line's label.
const wchar_t* LogRunResult(const std::wstring& filePath, const platform::ChildEnd& end, bool fixMode);

}  // namespace shelfscan
