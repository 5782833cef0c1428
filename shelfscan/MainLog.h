// The main log: its path, the writer that appends one line at a time, and the
// warning and scan error lines, which go to the console and the log.
//
// The file is UTF-16LE with a byte-order mark at its start and CR LF line
// ends. Paths and messages are written unchanged except that undecodable
// bytes and control characters become U+FFFD, so one record stays one line.
#pragma once

#include <string>

namespace shelfscan {

// The main log's full path, set once at start-up; empty until then.
extern std::wstring CurrentLogPath;

// Appends `text` (ending in a line feed) to the main log. A log that cannot
// be opened, or that another program holds locked, loses the line silently.
void AppendLogLine(const std::wstring& text);

// "[warning],path,message" on standard output and in the main log.
void ReportWarning(const std::wstring& path, const std::wstring& message);
// "[scan err],path,message" on standard output, and in the main log when
// `toLog` is set.
void ReportScanError(const std::wstring& path, const std::wstring& message, bool toLog);

}  // namespace shelfscan
