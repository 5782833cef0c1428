// The machine-readable report: JSON Lines in UTF-8, one object per checked
// file, for scripts that take the results further (a list of the files to
// fix, a count by label).
//
// A line holds, in this order: "path" (or "path_base64"), "label", "exit",
// "signal" (only when a signal ended the run), "backup" (or
// "backup_base64"), then for a repair that proved what it left "root" (or
// "root_base64", the folder searched), "sha256", "size", "mtime" and
// "backup_sha256", and last "seconds". A path that is not valid Unicode text (on
// Linux, a name whose bytes are not UTF-8) is given as the standard base64
// of its exact bytes instead: Linux the name's bytes, Windows its UTF-16LE
// code units.
#pragma once

#include <optional>
#include <string>

#include "frontend/ResultRecord.h"
#include "platform/log_file.h"

namespace shelfscan {

// A JSON string, quotation marks included, of UTF-8 text: the quotation
// mark and the backslash escaped, every control character U+0000..U+001F as
// \u00XX, everything else as it is.
std::string JsonString(const std::string& utf8);

// Whether `text` holds no lone surrogate: on Linux an undecodable byte of a
// name, on Windows an unpaired UTF-16 unit.
bool IsUnicodeText(const std::wstring& text);

// Standard base64 (RFC 4648, with padding).
std::string Base64(const std::string& bytes);

// `"name":"..."` for a path that is valid Unicode text, else
// `"name_base64":"..."` with its exact bytes.
std::string JsonPathMember(const std::string& name, const std::wstring& path);

struct ReportEntry {
  std::wstring path;
  std::wstring label;               // the label's word: "fixable", "scan err"
  std::optional<int> exit;          // Bookmender's exit code; none when it could not run or a signal ended it
  std::optional<int> signal;        // the signal that ended it
  std::optional<std::wstring> backup;
  // What a repair left, with the folder searched it was handed with: what an
  // undo checks before it writes the backup back. Both or neither.
  std::optional<std::wstring> root;
  std::optional<bookmender::RepairProof> proof;
  double seconds = 0;               // the run's wall-clock time
};

// "2026-12-07T02:05:33.123456789Z": `ns` nanoseconds after 1970 began, UTC.
std::string UtcTimeText(std::uint64_t ns);
// The inverse; false for any other text.
bool ParseUtcTime(const std::string& text, std::uint64_t& ns);

// The entry's line, ending in a line feed.
std::string ReportLine(const ReportEntry& entry);

class MainLog;

// One scan's report.
class ReportFile {
 public:
  // Opens the report `path` for the whole run under the logs' rules (never
  // through a link, only a regular file of this user with one name, created
  // when missing, appended to when it exists). False, after a console line
  // with its path and the reason, when it cannot be used.
  bool open(const std::wstring& path);
  bool isOpen() const { return file_.isOpen(); }
  // The open report, for reading it back before the first entry goes in.
  const platform::LogFile& file() const { return file_; }

  // Appends the entry's line whole, or stops the scan as a lost line of
  // `log` does (MainLog::stopForLostLine). Safe from several threads.
  void append(const ReportEntry& entry, MainLog& log);

 private:
  platform::LogFile file_;
};

}  // namespace shelfscan
