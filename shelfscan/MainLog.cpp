#include "MainLog.h"

#include "platform/console.h"
#include "platform/files.h"
#include "platform/text.h"

namespace shelfscan {

std::wstring CurrentLogPath;

namespace {

void AppendUnits(std::string& bytes, const std::u16string& units) {
  for (const char16_t unit : units) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
}

// The composed record: sanitized so that it is one line wherever it goes.
std::wstring ReportLine(const wchar_t* prefix, const std::wstring& path, const std::wstring& message) {
  return prefix + platform::SanitizeForLine(path) + L"," + platform::SanitizeForLine(message);
}

}  // namespace

void AppendLogLine(const std::wstring& text) {
  if (CurrentLogPath.empty()) return;

  // Every piece between line feeds is made fit for one line; each line feed
  // becomes CR LF. The line is written whole, whatever its length.
  std::string bytes;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(L'\n', start);
    const std::wstring piece = text.substr(start, end == std::wstring::npos ? end : end - start);
    AppendUnits(bytes, platform::ToUtf16(platform::SanitizeForLine(piece)));
    if (end == std::wstring::npos) break;
    AppendUnits(bytes, u"\r\n");
    start = end + 1;
  }

  // Held without sharing while this one line is written, so that a second
  // scan appending to the same log cannot put a second byte-order mark in or
  // split a line; a log held by someone else loses the line.
  platform::AppendWithoutSharing(CurrentLogPath, std::string("\xFF\xFE", 2), bytes);
}

void ReportWarning(const std::wstring& path, const std::wstring& message) {
  const std::wstring line = ReportLine(L"[warning],", path, message);
  platform::WriteLine(platform::ConsoleStream::kOutput, line);
  AppendLogLine(line + L"\n");
}

void ReportScanError(const std::wstring& path, const std::wstring& message, bool toLog) {
  const std::wstring line = ReportLine(L"[scan err],", path, message);
  platform::WriteLine(platform::ConsoleStream::kOutput, line);
  if (toLog) AppendLogLine(line + L"\n");
}


}  // namespace shelfscan
