#include "Report.h"

#include <cstdint>
#include <cstdio>

#include "MainLog.h"
#include "platform/log_file.h"
#include "platform/text.h"

namespace shelfscan {

bool IsUnicodeText(const std::wstring& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<std::uint32_t>(text[i]);
    if (c > 0x10FFFF) return false;
    if (c < 0xD800 || c > 0xDFFF) continue;
    if (sizeof(wchar_t) == 2 && c <= 0xDBFF && i + 1 < text.size()) {
      const auto low = static_cast<std::uint32_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        ++i;
        continue;
      }
    }
    return false;
  }
  return true;
}

namespace {

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar, and
// back, through 400-year eras.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

constexpr std::uint64_t kNsPerSecond = 1000000000;
constexpr std::uint64_t kSecondsPerDay = 86400;

}  // namespace

std::string UtcTimeText(std::uint64_t ns) {
  const std::uint64_t seconds = ns / kNsPerSecond;
  std::int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(static_cast<std::int64_t>(seconds / kSecondsPerDay), year, month, day);
  const std::uint64_t clock = seconds % kSecondsPerDay;
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%09lluZ", static_cast<long long>(year), month,
                day, static_cast<unsigned>(clock / 3600), static_cast<unsigned>(clock / 60 % 60),
                static_cast<unsigned>(clock % 60), static_cast<unsigned long long>(ns % kNsPerSecond));
  return text;
}

bool ParseUtcTime(const std::string& text, std::uint64_t& ns) {
  static const std::string kForm = "9999-99-99T99:99:99.999999999Z";
  if (text.size() != kForm.size()) return false;
  std::uint64_t fields[7] = {};
  std::size_t field = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (kForm[i] != '9') {
      if (text[i] != kForm[i]) return false;
      ++field;
      continue;
    }
    if (text[i] < '0' || text[i] > '9') return false;
    fields[field] = fields[field] * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  if (fields[0] < 1970 || fields[1] < 1 || fields[1] > 12 || fields[2] < 1 || fields[2] > 31) return false;
  const auto days = static_cast<std::uint64_t>(
      DaysFromCivil(static_cast<std::int64_t>(fields[0]), static_cast<unsigned>(fields[1]), static_cast<unsigned>(fields[2])));
  const std::uint64_t value =
      (days * kSecondsPerDay + fields[3] * 3600 + fields[4] * 60 + fields[5]) * kNsPerSecond + fields[6];
  // A day the month lacks, an hour past 23 or a time past what 64 bits hold
  // comes back as other text.
  if (UtcTimeText(value) != text) return false;
  ns = value;
  return true;
}

std::string JsonString(const std::string& utf8) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20) {
      out += "\\u00";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      out.push_back(k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
    }
  }
  return out;
}

std::string JsonPathMember(const std::string& name, const std::wstring& path) {
  // Valid text encodes as plain UTF-8 on both systems.
  if (IsUnicodeText(path)) return JsonString(name) + ":" + JsonString(platform::EncodeNative(path));
  return JsonString(name + "_base64") + ":" + JsonString(Base64(platform::NameBytes(path)));
}

std::string ReportLine(const ReportEntry& entry) {
  std::string line = "{" + JsonPathMember("path", entry.path);
  line += ",\"label\":" + JsonString(platform::EncodeNative(entry.label));
  line += ",\"exit\":" + (entry.exit ? std::to_string(*entry.exit) : std::string("null"));
  if (entry.signal) line += ",\"signal\":" + std::to_string(*entry.signal);
  line += "," + (entry.backup ? JsonPathMember("backup", *entry.backup) : std::string("\"backup\":null"));
  if (entry.root && entry.proof) {
    const bookmender::RepairProof& proof = *entry.proof;
    line += "," + JsonPathMember("root", *entry.root);
    line += ",\"sha256\":" + JsonString(proof.sha256) + ",\"size\":" + std::to_string(proof.size);
    line += ",\"mtime\":" + JsonString(UtcTimeText(proof.mtimeNs));
    line += ",\"backup_sha256\":" + JsonString(proof.backupSha256);
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", entry.seconds < 0 ? 0.0 : entry.seconds);
  line += ",\"seconds\":" + std::string(seconds) + "}\n";
  return line;
}

bool ReportFile::open(const std::wstring& path) {
  platform::LogError error;
  if (file_.open(path, platform::LogUse::kLines, std::string(), kLogLockWait, error)) return true;
  ReportScanError(path, L"Cannot open the report: " + LogErrorText(error));
  return false;
}

void ReportFile::append(const ReportEntry& entry, MainLog& log) {
  log.throwIfStopped();
  const std::string line = ReportLine(entry);
  platform::LogError error;
  if (!file_.append(line, error)) log.stopForLostLine(file_.path(), L"report", platform::DecodeNative(line), error);
}

}  // namespace shelfscan
