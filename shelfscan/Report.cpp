#include "Report.h"

#include <cstdio>

#include "MainLog.h"
#include "platform/log_file.h"
#include "platform/text.h"

namespace shelfscan {

namespace {

// Whether `text` holds no lone surrogate: on Linux an undecodable byte of a
// name, on Windows an unpaired UTF-16 unit.
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

}  // namespace

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
