// The records Bookmender writes to the channel named by "-result:N" (a pipe
// its parent made for this run alone), so that a program running it learns
// the result and the backup's exact name without reading the lines meant for
// people. At most two lines of ASCII, in this order:
//
//   BMR1 - <backup>\n        as soon as the backup exists under its name
//   BMR1 <code> <backup>\n   just before the run ends
//
// <code> is the exit code in decimal; <backup> is "-" when no backup was
// made, else the backup's name as lowercase hexadecimal of its bytes as the
// system keeps them (Linux the path's bytes, Windows its UTF-16LE units). The
// first line names a backup to a parent whose run was ended from outside
// (a time limit, a signal) after the backup was made. A name longer than
// kMostBackupBytes is not handed over: no record is written.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bookmender {

inline constexpr std::size_t kMostBackupBytes = 64 * 1024;
// "BMR1 ", ten digits, a blank, the name's hexadecimal, the line feed.
inline constexpr std::size_t kMostResultRecord = 5 + 10 + 1 + 2 * kMostBackupBytes + 1;
// Both lines.
inline constexpr std::size_t kMostResultRecords = 2 * kMostResultRecord;

// The code of the first line, which names the backup before the run ends.
inline constexpr int kBackupOnly = -1;

// The record for `code` (or kBackupOnly) and the backup's bytes (none: no
// backup); empty when the name is too long to hand over.
inline std::string ResultRecord(int code, const std::optional<std::string>& backup) {
  static const char kHex[] = "0123456789abcdef";
  if ((code < 0 && !(code == kBackupOnly && backup)) || (backup && (backup->empty() || backup->size() > kMostBackupBytes))) return std::string();
  std::string record = "BMR1 " + (code == kBackupOnly ? std::string("-") : std::to_string(code)) + " ";
  if (!backup) {
    record += "-";
  } else {
    for (const char c : *backup) {
      const auto byte = static_cast<unsigned char>(c);
      record.push_back(kHex[byte >> 4]);
      record.push_back(kHex[byte & 0xF]);
    }
  }
  record.push_back('\n');
  return record;
}

// Reads a record exactly as ResultRecord writes it and nothing else (no
// leading zero, no upper-case digit, nothing after the line feed): false for
// anything else.
inline bool ParseResultRecord(const std::string& record, int& code, std::optional<std::string>& backup) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  const auto nibble = [&digit](char c) { return digit(c) ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
  if (record.size() > kMostResultRecord || record.compare(0, 5, "BMR1 ") != 0 || record.back() != '\n') return false;
  std::size_t at = 5;
  if (record.compare(at, 2, "- ") == 0) {
    // The first line: a backup and no code yet.
    std::optional<std::string> made;
    std::string rest = "BMR1 0" + record.substr(at + 1);
    int ignored = 0;
    if (!ParseResultRecord(rest, ignored, made) || !made) return false;
    code = kBackupOnly;
    backup = std::move(made);
    return true;
  }
  const std::size_t digitsStart = at;
  long long value = 0;
  while (at < record.size() && digit(record[at]) && at - digitsStart < 10) value = value * 10 + (record[at++] - '0');
  const std::size_t digits = at - digitsStart;
  if (digits == 0 || (digits > 1 && record[digitsStart] == '0') || value > 0x7FFFFFFF) return false;
  if (at >= record.size() || record[at++] != ' ') return false;
  const std::string name = record.substr(at, record.size() - 1 - at);
  std::optional<std::string> bytes;
  if (name != "-") {
    if (name.empty() || name.size() % 2 != 0 || name.size() > 2 * kMostBackupBytes) return false;
    bytes.emplace();
    for (std::size_t i = 0; i < name.size(); i += 2) {
      const int high = nibble(name[i]);
      const int low = nibble(name[i + 1]);
      if (high < 0 || low < 0) return false;
      bytes->push_back(static_cast<char>(high << 4 | low));
    }
  }
  code = static_cast<int>(value);
  backup = std::move(bytes);
  return true;
}

// What a run's channel held: the backup named by either line, and the code
// of the last line when there is one.
struct ResultRecords {
  std::optional<int> code;
  std::optional<std::string> backup;
};

// Reads the lines exactly as written in order (the first line, the last line,
// or both, naming the same backup); false for anything else.
inline bool ParseResultRecords(const std::string& bytes, ResultRecords& records) {
  if (bytes.empty() || bytes.size() > kMostResultRecords) return false;
  const std::size_t firstEnd = bytes.find('\n');
  std::vector<std::string> lines{bytes.substr(0, firstEnd + 1)};
  if (firstEnd + 1 < bytes.size()) lines.push_back(bytes.substr(firstEnd + 1));
  ResultRecords read;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    int code = 0;
    std::optional<std::string> backup;
    if (!ParseResultRecord(lines[i], code, backup)) return false;
    const bool first = code == kBackupOnly;
    // Of two lines, the first names the backup and the last repeats it.
    if (lines.size() == 2 && (first != (i == 0) || (i == 1 && backup != read.backup))) return false;
    if (!first) read.code = code;
    read.backup = std::move(backup);
  }
  records = std::move(read);
  return true;
}

}  // namespace bookmender
