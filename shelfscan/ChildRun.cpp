#include "ChildRun.h"

#include "MainLog.h"
#include "frontend/ResultCode.h"
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

// Opened once and handed to every child, so that its name is resolved once,
// under the checks, and never again.
platform::LogFile detailLog;

bool OpenDetail(const std::wstring& path, platform::LogError& error) {
  return detailLog.open(path, platform::LogUse::kChildOutput, std::string(), kLogLockWait, error);
}

}  // namespace

const wchar_t* StatusLabel(int exitCode, bool fixMode) {
  using namespace bookmender;
  // Any int is a value of the enumeration; no default, so that a result
  // code without a label is a compiler warning.
  switch (static_cast<ResultCode>(exitCode)) {
    case NoProblems: return L"[ok],";
    case Fixable: return fixMode ? L"[fixed]," : L"[fixable],";
    case Malformed: return L"[broken],";
    case ContainerLengthIssues: return L"[container problem],";
    case PasswordProtected: return L"[password],";
    case InvalidArguments: return L"[bad arguments],";
    case FileNotFound: return L"[file not found],";
    case AccessDenied: return L"[access denied],";
    case SharingViolation: return L"[sharing violation],";
    case NotBiff8Workbook: return L"[not BIFF8 workbook],";
    case TempCopyFailed: return L"[temp copy failed],";
    case CopyBackFailed: return L"[copy back failed],";
    case BackupFailed: return L"[backup failed],";
  }
  return L"[unexpected],";
}

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

bool OpenDetailLog(const std::wstring& logPath) {
  const std::wstring path = DetailLogPath(logPath);
  platform::LogError error;
  if (OpenDetail(path, error)) return true;
  ReportUnusableLog(path, error);
  return false;
}

void LogFileResult(const std::wstring& filePath, int exitCode, bool fixMode) {
  AppendLogLine(StatusLabel(exitCode, fixMode) + platform::SanitizeForLine(filePath) + L"\n");
}

void RunBookmender(const std::wstring& filePath, const std::wstring& logPath, bool fixMode,
                   bool detail) {
  const std::wstring executable = BookmenderPath();
  // Appending, so that the children's output follows one another in walk
  // order. A detail log that cannot be used is not an error of the file: the
  // child runs with its output discarded. The path goes in quotation marks
  // on a Windows command line, so that blanks keep it one argument.
  const platform::LogFile* output = nullptr;
  if (detail) {
    const std::wstring path = DetailLogPath(logPath);
    platform::LogError error;
    if (detailLog.path() == path || OpenDetail(path, error)) output = &detailLog;
  }
  const int result = platform::RunAndWait(
      executable, {{fixMode ? L"-fix" : L"-check", false}, {filePath, true}}, output);

  if (result < 0) {
    ReportScanError(filePath, L"Failed to launch Bookmender (error code " + std::to_wstring(result) + L")",
                    true);
  } else {
    LogFileResult(filePath, result, fixMode);
  }
}

}  // namespace shelfscan
