// A report read back (-resume, -undo:): the lines ReportLine writes and
// nothing else. A line that is not one of them is an error, never guessed at:
// an undo must not write a backup into a file a damaged line names.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "Report.h"
#include "platform/log_file.h"

namespace shelfscan {

// The longest line read: three base64 paths of the longest name a result
// record hands over, and room for the rest.
inline constexpr std::size_t kMostReportLine = 512 * 1024;

// Reads one line (without its line feed) written by ReportLine: the members
// it writes, each once, of the kinds it writes, no blanks; a label that is a
// status word; the proof members all or none. False with the reason.
bool ParseReportLine(const std::string& line, ReportEntry& entry, std::wstring& problem);

// Reads the open report from its start, handing each entry to `each`. False
// with "line N: reason" when a line is no entry, is longer than
// kMostReportLine or lacks its line feed, or the file cannot be read.
bool ReadReport(const platform::LogFile& file, const std::function<void(ReportEntry&&)>& each,
                std::wstring& problem);

// Whether a status word is a final outcome: one of Bookmender's results but
// "in use". Shelfscan's own ("timed out", "unexpected", "scan err") are not.
bool IsFinalLabel(const std::wstring& label);

}  // namespace shelfscan
