// The main log: its path, the writer that appends one line at a time, and the
// warning and scan error lines, which go to the console and the log.
//
// The file is UTF-16LE with a byte-order mark at its start and CR LF line
// ends. Paths and messages are written unchanged except that undecodable
// bytes and control characters become U+FFFD, so one record stays one line.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/log_file.h"

namespace shelfscan {

// The main log's full path, set once at start-up; empty until then.
extern std::wstring CurrentLogPath;

// While other threads run: the files handed to Bookmender whose lines are
// not written yet, which a lost line (see AppendLogLine) names on the console
// as missing too; the program then ends at once. Null while there is no
// other thread.
extern std::vector<std::wstring> (*FilesStillRunning)();

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

// Why a log cannot be used, as one sentence.
std::wstring LogErrorText(const platform::LogError& error);

// The end of a scan whose record would have a gap from here on: the console
// names the file `logPath` (the `what`: "log", "report"), the reason and the
// line `text` that is not in it, and the program ends with kExitLineLost
// before another file is touched.
[[noreturn]] void StopForLostLine(const std::wstring& logPath, const wchar_t* what, const std::wstring& text,
                                  const platform::LogError& error);

// "[scan err],path,Cannot open the log: reason" on the console.
void ReportUnusableLog(const std::wstring& path, const platform::LogError& error);

// Appends `text` (ending in a line feed) to the main log, waiting for another
// writer's lock up to kLogLockWait. A line that cannot be written whole is
// taken out of the log again; the console names the log and shows the line,
// and the program ends with kExitLineLost before anything else runs. A log
// not opened by OpenMainLog is opened here under the same rules. Safe from
// several threads: lines go in one at a time.
void AppendLogLine(const std::wstring& text);

// "[warning],path,message" on standard output and in the main log.
void ReportWarning(const std::wstring& path, const std::wstring& message);
// "[scan err],path,message" on standard output, and in the main log when
// `toLog` is set.
void ReportScanError(const std::wstring& path, const std::wstring& message, bool toLog);

}  // namespace shelfscan
