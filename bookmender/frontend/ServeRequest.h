// A resident Bookmender: "Bookmender -serve:FILES -result:N" serves up to
// FILES files, one after another, each as "Bookmender <arguments>" would run
// it. It reads one request per file on its standard input:
//
//   BMQ1 <argument> <argument> ...\n
//
// each argument as lowercase hexadecimal of its bytes as the system keeps
// them (Linux the argument's bytes, Windows its UTF-16LE units), "-result:"
// never among them. For each it writes that run's output on its standard
// output and error and its records (ResultRecord.h) on N, always ending with
// the last line, "BMR1 <code> <backup>", which is the parent's sign that the
// next request may come. It ends at the end of its input, after its FILES-th
// file, or after a file that left its descriptors or memory other than it
// found them; before such a last file's last record it closes its input, so
// that the parent's next request finds no reader and goes to a new one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "frontend/ResultRecord.h"

namespace bookmender {

inline constexpr char kServeOption[] = "-serve:";
inline constexpr std::size_t kMostRequestArguments = 16;
// Sixteen arguments of 64 KiB each, in hexadecimal, and the blanks.
inline constexpr std::size_t kMostRequestLine = 5 + kMostRequestArguments * (1 + 2 * 64 * 1024) + 1;

// The request line for `arguments` (their bytes); empty when there are none,
// too many, or one is empty or longer than 64 KiB.
inline std::string RequestLine(const std::vector<std::string>& arguments) {
  static const char kHex[] = "0123456789abcdef";
  if (arguments.empty() || arguments.size() > kMostRequestArguments) return std::string();
  std::string line = "BMQ1";
  for (const std::string& argument : arguments) {
    if (argument.empty() || argument.size() > 64 * 1024) return std::string();
    line.push_back(' ');
    for (const char c : argument) {
      const auto byte = static_cast<unsigned char>(c);
      line.push_back(kHex[byte >> 4]);
      line.push_back(kHex[byte & 0xF]);
    }
  }
  line.push_back('\n');
  return line;
}

// Reads a line exactly as RequestLine writes it; false for anything else.
inline bool ParseRequestLine(const std::string& line, std::vector<std::string>& arguments) {
  const auto nibble = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
  if (line.size() > kMostRequestLine || line.compare(0, 4, "BMQ1") != 0 || line.back() != '\n') return false;
  std::vector<std::string> read;
  std::size_t at = 4;
  while (at + 1 < line.size()) {
    if (line[at] != ' ' || read.size() == kMostRequestArguments) return false;
    ++at;
    std::string argument;
    while (at + 1 < line.size() && line[at] != ' ') {
      const int high = nibble(line[at]);
      const int low = at + 2 < line.size() ? nibble(line[at + 1]) : -1;
      if (high < 0 || low < 0) return false;
      argument.push_back(static_cast<char>(high << 4 | low));
      at += 2;
    }
    if (argument.empty()) return false;
    read.push_back(std::move(argument));
  }
  if (read.empty() || RequestLine(read) != line) return false;
  arguments = std::move(read);
  return true;
}

// Whether `records` end with a run's last line: its complete reply.
inline bool HasLastRecord(const std::string& records) {
  if (records.empty() || records.back() != '\n') return false;
  const std::size_t start = records.rfind('\n', records.size() - 2);
  const std::string line = records.substr(start == std::string::npos ? 0 : start + 1);
  int code = 0;
  std::optional<std::string> backup;
  return ParseResultRecord(line, code, backup) && code != kBackupOnly;
}

}  // namespace bookmender
