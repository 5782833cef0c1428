#include "ChildRun.h"

#include <algorithm>

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

// Gathered output is appended by this program, a block at a time; otherwise
// the children write into the log themselves.
bool gatheredDetail = false;

bool OpenDetail(const std::wstring& path, platform::LogError& error) {
  return detailLog.open(path, gatheredDetail ? platform::LogUse::kLines : platform::LogUse::kChildOutput,
                        std::string(), kLogLockWait, error);
}

const char kBackupLine[] = "Backup copy successfully created: ";

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

std::wstring LabelWord(const std::wstring& label) {
  std::wstring word = label;
  if (!word.empty() && word.back() == L',') word.pop_back();
  if (word.size() >= 2 && word.front() == L'[' && word.back() == L']') word = word.substr(1, word.size() - 2);
  return word;
}

std::optional<std::wstring> BackupFromOutput(const std::string& output, const std::wstring& filePath) {
  // Bookmender names the backup in the form its lines show every path in.
  const std::wstring shown = platform::SanitizeForLine(filePath);
  std::optional<std::wstring> backup;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, sizeof kBackupLine - 1, kBackupLine) != 0) continue;
    const std::wstring name = platform::DecodeNative(line.substr(sizeof kBackupLine - 1));
    // The name is the file's own path and a suffix: ".bak" or ".bak" and
    // three digits. The path is taken as the walk gave it, so that a name
    // with bytes or characters the line could not show comes back exact.
    const std::wstring suffix = name.compare(0, shown.size(), shown) == 0 ? name.substr(shown.size()) : L"";
    const bool digits = suffix.size() == 7 && std::all_of(suffix.begin() + 4, suffix.end(),
                                                          [](wchar_t c) { return c >= L'0' && c <= L'9'; });
    if (suffix.compare(0, 4, L".bak") == 0 && (suffix.size() == 4 || digits)) {
      backup = filePath + suffix;
    } else {
      backup = name;
    }
  }
  return backup;
}

void SetDetailGathered(bool gathered) { gatheredDetail = gathered; }

bool AppendDetail(const std::string& output, const std::wstring& filePath) {
  if (output.empty() || !detailLog.isOpen()) return true;
  platform::LogError error;
  if (detailLog.append(output, error)) return true;
  ReportScanError(detailLog.path(),
                  L"Cannot write to the detail log: " + LogErrorText(error) + L" The output of Bookmender for " +
                      filePath + L" is not in it.",
                  false);
  return false;
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

const wchar_t* RunBookmender(const std::wstring& filePath, const std::vector<platform::ChildArgument>& arguments,
                             const std::wstring& logPath, bool detail, bool fixMode, platform::ChildTimeLimit limit) {
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
  const platform::ChildEnd end = platform::RunChild(executable, arguments, output, limit);
  return LogRunResult(filePath, end, fixMode);
}

const wchar_t* LogRunResult(const std::wstring& filePath, const platform::ChildEnd& end, bool fixMode) {
  if (end.timedOut) {
    AppendLogLine(kTimedOutLabel + platform::SanitizeForLine(filePath) + L"\n");
    return kTimedOutLabel;
  }
  const int result = end.result();
  if (result < 0) {
    ReportScanError(filePath, L"Failed to launch Bookmender (error code " + std::to_wstring(result) + L")",
                    true);
    return kScanErrorLabel;
  }
  LogFileResult(filePath, result, fixMode);
  return StatusLabel(result, fixMode);
}

}  // namespace shelfscan
