#include "MainLog.h"

#include <cstdlib>
#include <mutex>

#include "platform/console.h"
#include "platform/hresult.h"
#include "platform/text.h"

namespace shelfscan {

std::wstring CurrentLogPath;
std::vector<std::wstring> (*FilesStillRunning)() = nullptr;

namespace {

const std::string kByteOrderMark("\xFF\xFE", 2);

platform::LogFile mainLog;

// One line at a time from every thread. Never destroyed: a lost line ends the
// program while the lock is held.
std::mutex& LineLock() {
  static std::mutex* const lock = new std::mutex;
  return *lock;
}

bool Open(const std::wstring& path, platform::LogError& error) {
  return mainLog.open(path, platform::LogUse::kLines, kByteOrderMark, kLogLockWait, error);
}

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

std::wstring LogErrorText(const platform::LogError& error) {
  switch (error.fault) {
    case platform::LogFault::kNone: break;
    case platform::LogFault::kSystem: {
      std::wstring text;
      if (!platform::SystemMessageText(error.code, text)) return L"System error " + std::to_wstring(error.code) + L".";
      while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
      return text;
    }
#ifdef _WIN32
    case platform::LogFault::kLink: return L"It is a link (a reparse point).";
#else
    case platform::LogFault::kLink: return L"It is a symbolic link.";
#endif
    case platform::LogFault::kNotRegular: return L"It is not a regular file.";
    case platform::LogFault::kNotOwned: return L"It belongs to another user.";
    case platform::LogFault::kManyNames: return L"It has more than one name (a hard link).";
    case platform::LogFault::kHeld:
      return L"Another program has held it locked for " + std::to_wstring(kLogLockWait.count()) + L" seconds.";
  }
  return std::wstring();
}

void StopForLostLine(const std::wstring& logPath, const wchar_t* what, const std::wstring& text,
                     const platform::LogError& error) {
  const std::wstring line = !text.empty() && text.back() == L'\n' ? text.substr(0, text.size() - 1) : text;
  platform::ClearStatus();
  ReportScanError(logPath,
                  std::wstring(L"Cannot write to the ") + what + L": " + LogErrorText(error) +
                      L" The scan stops here; this line is not in the " + what + L": " + line,
                  false);
  if (!FilesStillRunning) std::exit(kExitLineLost);
  // Their Bookmender runs go on to their ends; their lines will not come.
  for (const std::wstring& file : FilesStillRunning()) {
    ReportScanError(file, L"The scan stopped while Bookmender ran on this file; its line is not in the log", false);
  }
  // Other threads are still at work: the program ends here, without running
  // the destructors of what they use.
  std::_Exit(kExitLineLost);
}

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

  // Locked while this one line is written, so that a second scan appending
  // to the same log cannot put a second byte-order mark in or split a line.
  const std::lock_guard<std::mutex> hold(LineLock());
  platform::LogError error;
  if (mainLog.path() != CurrentLogPath && !Open(CurrentLogPath, error)) StopForLostLine(CurrentLogPath, L"log", text, error);
  if (!mainLog.append(bytes, error)) StopForLostLine(CurrentLogPath, L"log", text, error);
}

bool OpenMainLog(const std::wstring& path) {
  CurrentLogPath = path;
  platform::LogError error;
  if (Open(path, error)) return true;
  ReportUnusableLog(path, error);
  return false;
}

void ReportUnusableLog(const std::wstring& path, const platform::LogError& error) {
  ReportScanError(path, L"Cannot open the log: " + LogErrorText(error), false);
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
