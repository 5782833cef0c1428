#include "MainLog.h"

#include <mutex>

#include "platform/console.h"
#include "platform/hresult.h"
#include "platform/text.h"

namespace shelfscan {

namespace {

const std::string kByteOrderMark("\xFF\xFE", 2);

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

std::wstring SystemErrorText(platform::Win32Error code) {
  platform::LogError error;
  error.fault = platform::LogFault::kSystem;
  error.code = code;
  return LogErrorText(error);
}

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

void RunningFiles::add(const std::wstring& file) {
  const std::lock_guard<std::mutex> hold(mutex_);
  files_.insert(file);
}

void RunningFiles::remove(const std::wstring& file) {
  const std::lock_guard<std::mutex> hold(mutex_);
  const auto at = files_.find(file);
  if (at != files_.end()) files_.erase(at);
}

std::vector<std::wstring> RunningFiles::list() const {
  const std::lock_guard<std::mutex> hold(mutex_);
  return std::vector<std::wstring>(files_.begin(), files_.end());
}

void ReportScanError(const std::wstring& path, const std::wstring& message) {
  platform::WriteLine(platform::ConsoleStream::kOutput, ReportLine(L"[scan err],", path, message));
}

void ReportUnusableLog(const std::wstring& path, const platform::LogError& error) {
  ReportScanError(path, L"Cannot open the log: " + LogErrorText(error));
}

bool MainLog::openFile(const std::wstring& path, platform::LogError& error) {
  return file_.open(path, platform::LogUse::kLines, kByteOrderMark, kLogLockWait, error);
}

bool MainLog::open(const std::wstring& path) {
  CurrentLogPath = path;
  platform::LogError error;
  if (openFile(path, error)) return true;
  ReportUnusableLog(path, error);
  return false;
}

bool MainLog::stopped() const {
  const std::lock_guard<std::mutex> hold(stopLock_);
  return stopped_;
}

void MainLog::throwIfStopped() const {
  if (stopped()) throw LineLost();
}

void MainLog::stopForLostLine(const std::wstring& logPath, const wchar_t* what, const std::wstring& text,
                              const platform::LogError& error) {
  const std::lock_guard<std::mutex> hold(lineLock_);
  stopHeld(logPath, what, text, error);
}

void MainLog::stopHeld(const std::wstring& logPath, const wchar_t* what, const std::wstring& text,
                       const platform::LogError& error) {
  {
    const std::lock_guard<std::mutex> hold(stopLock_);
    // Said once, by the first line lost.
    if (stopped_) throw LineLost();
    stopped_ = true;
  }
  const std::wstring line = !text.empty() && text.back() == L'\n' ? text.substr(0, text.size() - 1) : text;
  platform::ClearStatus();
  shelfscan::ReportScanError(logPath, std::wstring(L"Cannot write to the ") + what + L": " + LogErrorText(error) +
                                          L" The scan stops here; this line is not in the " + what + L": " + line);
  // Their Bookmender runs go on to their ends; their lines will not come.
  if (FilesStillRunning != nullptr) {
    for (const std::wstring& file : FilesStillRunning->list()) {
      shelfscan::ReportScanError(file, L"The scan stopped while Bookmender ran on this file; its line is not in the log");
    }
  }
  throw LineLost();
}

void MainLog::AppendLogLine(const std::wstring& text) {
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
  const std::lock_guard<std::mutex> hold(lineLock_);
  throwIfStopped();
  platform::LogError error;
  if (file_.path() != CurrentLogPath && !openFile(CurrentLogPath, error)) stopHeld(CurrentLogPath, L"log", text, error);
  if (!file_.append(bytes, error)) stopHeld(CurrentLogPath, L"log", text, error);
}

void MainLog::ReportWarning(const std::wstring& path, const std::wstring& message) {
  throwIfStopped();
  const std::wstring line = ReportLine(L"[warning],", path, message);
  platform::WriteLine(platform::ConsoleStream::kOutput, line);
  AppendLogLine(line + L"\n");
}

void MainLog::ReportScanError(const std::wstring& path, const std::wstring& message, bool toLog) {
  throwIfStopped();
  const std::wstring line = ReportLine(L"[scan err],", path, message);
  platform::WriteLine(platform::ConsoleStream::kOutput, line);
  if (toLog) AppendLogLine(line + L"\n");
}
}  // namespace shelfscan
