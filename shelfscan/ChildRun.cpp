#include "ChildRun.h"

#include "MainLog.h"
#include "platform/hresult.h"
#include "platform/process.h"
#include "platform/text.h"

namespace shelfscan {

namespace {

#ifdef _WIN32
const wchar_t kBookmenderName[] = L"\\Bookmender.exe";
#else
const wchar_t kBookmenderName[] = L"/Bookmender";
#endif

}  // namespace

std::wstring BookmenderPath() {
  std::wstring folder = platform::OwnExecutableFolder();
  // An unknown folder gives no path at all: "" + "/Bookmender" would be a
  // guess at the root folder.
  if (folder.empty()) return std::wstring();
  if (folder.back() == platform::kPreferredSeparator) folder.pop_back();
  return folder + kBookmenderName;
}

bool BookmenderCanStart(std::wstring& problem) {
  const std::wstring executable = BookmenderPath();
  if (executable.empty()) {
    problem = L"Bookmender cannot be started: the folder of Shelfscan's own program file cannot be read.";
    return false;
  }
  platform::Win32Error error = 0;
  if (platform::CanStart(executable, error)) return true;
  std::wstring reason;
  if (!platform::SystemMessageText(error, reason)) reason = L"system error " + std::to_wstring(error);
  // Windows' texts end in a line end.
  while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' || reason.back() == L' ')) {
    reason.pop_back();
  }
  problem = L"Bookmender cannot be started from " + executable + L": " + reason;
  return false;
}

std::wstring DetailLogPath(const std::wstring& logPath) {
  const std::size_t dot = logPath.rfind(L".log");
  if (dot == std::wstring::npos) return logPath + L"_detail.log";
  return logPath.substr(0, dot) + L"_detail.log" + logPath.substr(dot + 4);
}

bool DetailLog::openFile(const std::wstring& path, platform::LogError& error) {
  return file_.open(path, gathered_ ? platform::LogUse::kLines : platform::LogUse::kChildOutput, std::string(),
                    kLogLockWait, error);
}

bool DetailLog::open(const std::wstring& logPath) {
  const std::wstring path = DetailLogPath(logPath);
  platform::LogError error;
  if (openFile(path, error)) return true;
  ReportUnusableLog(path, error);
  return false;
}

const platform::LogFile* DetailLog::forChild(const std::wstring& logPath) {
  const std::wstring path = DetailLogPath(logPath);
  platform::LogError error;
  return file_.path() == path || openFile(path, error) ? &file_ : nullptr;
}

bool DetailLog::append(const std::string& output, const std::wstring& filePath) {
  if (output.empty() || !file_.isOpen()) return true;
  platform::LogError error;
  if (file_.append(output, error)) return true;
  ReportScanError(file_.path(),
                  L"Cannot write to the detail log: " + LogErrorText(error) + L" The output of Bookmender for " +
                      filePath + L" is not in it.");
  return false;
}

void LogFileResult(MainLog& log, const std::wstring& filePath, int exitCode, bool fixMode) {
  log.AppendLogLine(StatusLabel(exitCode, fixMode) + platform::SanitizeForLine(filePath) + L"\n");
}

Status RunBookmender(MainLog& log, DetailLog* detail, const std::wstring& filePath,
                     const std::vector<platform::ChildArgument>& arguments, bool fixMode,
                     platform::ChildTimeLimit limit) {
  // Appending, so that the children's output follows one another in walk
  // order. A detail log that cannot be used is not an error of the file: the
  // child runs with its output discarded. The path goes in quotation marks
  // on a Windows command line, so that blanks keep it one argument.
  const platform::LogFile* output = detail != nullptr ? detail->forChild(log.CurrentLogPath) : nullptr;
  const platform::ChildEnd end = platform::RunChild(BookmenderPath(), arguments, output, limit);
  return LogRunResult(log, filePath, end, fixMode);
}

Status LogRunResult(MainLog& log, const std::wstring& filePath, const platform::ChildEnd& end, bool fixMode) {
  if (end.timedOut) {
    log.AppendLogLine(StatusLabel(kTimedOutStatus) + platform::SanitizeForLine(filePath) + L"\n");
    return kTimedOutStatus;
  }
  const int result = end.result();
  if (result < 0) {
    log.ReportScanError(filePath, L"Failed to launch Bookmender (error code " + std::to_wstring(result) + L")",
                        true);
    return kScanErrorStatus;
  }
  LogFileResult(log, filePath, result, fixMode);
  return StatusOf(result, fixMode);
}

}  // namespace shelfscan
