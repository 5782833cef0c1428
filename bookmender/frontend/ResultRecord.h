// The records Bookmender writes to the channel named by "-result:N" (a pipe
// its parent made for this run alone), so that a program running it learns
// the result and the backup's exact name without reading the lines meant for
// people. At most three lines of ASCII, in this order:
//
//   BMR1 - <backup>\n        as soon as the backup exists under its name
//   BMR1 = <sha256> <size> <mtime> <backup-sha256>\n
//                            once the repair is in the file: the file as
//                            the repair left it and the backup it made
//   BMR1 <code> <backup>\n   just before the run ends
//
// <code> is the exit code in decimal; <backup> is "-" when no backup was
// made, else the backup's name as lowercase hexadecimal of its bytes as the
// system keeps them (Linux the path's bytes, Windows its UTF-16LE units). The
// first line names a backup to a parent whose run was ended from outside
// (a time limit, a signal) after the backup was made. A name longer than
// kMostBackupBytes is not handed over: no record is written. In the second
// line the digests are SHA-256 in lowercase hexadecimal, <size> the file's
// size in bytes and <mtime> its modification time in nanoseconds since
// 1970-01-01 UTC, both in decimal without leading zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bookmender {

inline constexpr std::size_t kMostBackupBytes = 64 * 1024;
// "BMR1 ", ten digits, a blank, the name's hexadecimal, the line feed.
inline constexpr std::size_t kMostResultRecord = 5 + 10 + 1 + 2 * kMostBackupBytes + 1;
// "BMR1 = ", two digests, two numbers of at most 20 digits, blanks, line feed.
inline constexpr std::size_t kMostProofRecord = 7 + 64 + 1 + 20 + 1 + 20 + 1 + 64 + 1;
// All three lines.
inline constexpr std::size_t kMostResultRecords = 2 * kMostResultRecord + kMostProofRecord;

// What a repair left: the file's content, size and modification time once
// the repair was written, and the backup's content.
struct RepairProof {
  std::string sha256;  // 64 lowercase hexadecimal digits
  std::uint64_t size = 0;
  std::uint64_t mtimeNs = 0;
  std::string backupSha256;
  bool operator==(const RepairProof& other) const {
    return sha256 == other.sha256 && size == other.size && mtimeNs == other.mtimeNs &&
           backupSha256 == other.backupSha256;
  }
};

// The second line; empty when a digest is not 64 lowercase hexadecimal digits.
inline std::string ProofRecord(const RepairProof& proof) {
  const auto isDigest = [](const std::string& d) {
    if (d.size() != 64) return false;
    for (const char c : d) {
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
  };
  if (!isDigest(proof.sha256) || !isDigest(proof.backupSha256)) return std::string();
  return "BMR1 = " + proof.sha256 + " " + std::to_string(proof.size) + " " + std::to_string(proof.mtimeNs) + " " +
         proof.backupSha256 + "\n";
}

// Reads a second line exactly as ProofRecord writes it; false for anything
// else.
inline bool ParseProofRecord(const std::string& line, RepairProof& proof) {
  if (line.size() > kMostProofRecord || line.compare(0, 7, "BMR1 = ") != 0 || line.empty() || line.back() != '\n') {
    return false;
  }
  std::vector<std::string> fields;
  std::string field;
  for (std::size_t i = 7; i + 1 < line.size(); ++i) {
    if (line[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field.push_back(line[i]);
    }
  }
  fields.push_back(field);
  if (fields.size() != 4) return false;
  const auto number = [](const std::string& digits, std::uint64_t& value) {
    if (digits.empty() || digits.size() > 20 || (digits.size() > 1 && digits[0] == '0')) return false;
    value = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return false;
      const std::uint64_t next = value * 10 + static_cast<std::uint64_t>(c - '0');
      if (next / 10 != value) return false;  // past 2^64 - 1
      value = next;
    }
    return true;
  };
  RepairProof read;
  read.sha256 = fields[0];
  read.backupSha256 = fields[3];
  if (!number(fields[1], read.size) || !number(fields[2], read.mtimeNs)) return false;
  if (ProofRecord(read) != line) return false;  // the digests' form, and nothing else
  proof = std::move(read);
  return true;
}

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

// What a run's channel held: the backup named by any line, what the repair
// left when the second line came, and the code of the last line when there
// is one.
struct ResultRecords {
  std::optional<int> code;
  std::optional<std::string> backup;
  std::optional<RepairProof> proof;
};

// Reads the lines exactly as written, each kind at most once and in its
// order, all naming the same backup, the second only after the first; false
// for anything else.
inline bool ParseResultRecords(const std::string& bytes, ResultRecords& records) {
  if (bytes.empty() || bytes.size() > kMostResultRecords || bytes.back() != '\n') return false;
  ResultRecords read;
  int kind = 0;  // the last kind read: 1 the first line, 2 the second, 3 the last
  for (std::size_t start = 0; start < bytes.size();) {
    const std::size_t end = bytes.find('\n', start) + 1;
    const std::string line = bytes.substr(start, end - start);
    start = end;
    RepairProof proof;
    if (ParseProofRecord(line, proof)) {
      if (kind != 1) return false;
      read.proof = std::move(proof);
      kind = 2;
      continue;
    }
    int code = 0;
    std::optional<std::string> backup;
    if (!ParseResultRecord(line, code, backup)) return false;
    const int lineKind = code == kBackupOnly ? 1 : 3;
    if (lineKind <= kind || (kind != 0 && backup != read.backup)) return false;
    if (lineKind == 3) read.code = code;
    read.backup = std::move(backup);
    kind = lineKind;
  }
  records = std::move(read);
  return true;
}

}  // namespace bookmender
