// The main log: its path, the writer that appends one line at a time, and the
// warning and scan error lines, which go to the console and the log.
//
// The file is UTF-16LE with a byte-order mark at its start and CR LF line
// ends. Paths and messages are written unchanged except that undecodable
// bytes and control characters become U+FFFD, so one record stays one line.
#pragma once

#include <chrono>
#include <string>

#include "platform/log_file.h"

namespace shelfscan {

// The main log's full path, set once at start-up; empty until then.
extern std::wstring CurrentLogPath;

// How long a line waits for another writer (a second scan of the same
// second) to let go of the log.
inline constexpr std::chrono::seconds kLogLockWait{30};

// Shelfscan's exit code when a line could not be written to the main log:
// the scan stopped there.
inline constexpr int kExitLineLost = 2;

// Opens the main log `path` for the whole run, creating it with its
// byte-order mark, and makes it CurrentLogPath. A log that cannot be used (a
// link, another user's file, no room, no access) is reported on the console
// only, with its path and the reason, and false returned.
bool OpenMainLog(const std::wstring& path);

// "[scan err],path,Cannot open the log: reason" on the console.
void ReportUnusableLog(const std::wstring& path, const platform::LogError& error);

// Appends `text` (ending in a line feed) to the main log, waiting for another
// writer's lock up to kLogLockWait. A line that cannot be written whole is
// taken out of the log again; the console names the log and shows the line,
// and the program ends with kExitLineLost before anything else runs. A log
// not opened by OpenMainLog is opened here under the same rules.
void AppendLogLine(const std::wstring& text);

// "[warning],path,message" on standard output and in the main log.
void ReportWarning(const std::wstring& path, const std::wstring& message);
// "[scan err],path,message" on standard output, and in the main log when
// `toLog` is set.
void ReportScanError(const std::wstring& path, const std::wstring& message, bool toLog);

}  // namespace shelfscan
