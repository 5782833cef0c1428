#include "ChildRun.h"

#include "MainLog.h"
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

const wchar_t* StatusLabel(int exitCode, bool fixMode) {
  switch (exitCode) {
    case 0: return L"[ok],";
    case 1: return fixMode ? L"[fixed]," : L"[fixable],";
    case 2: return L"[broken],";
    case 3: return L"[container problem],";
    case 4: return L"[password],";
    case 50: return L"[bad arguments],";
    case 51: return L"[file not found],";
    case 52: return L"[access denied],";
    case 53: return L"[sharing violation],";
    case 54: return L"[not BIFF8 workbook],";
    case 55: return L"[temp copy failed],";
    case 56: return L"[copy back failed],";
    case 57: return L"[backup failed],";
    default: return L"[unexpected],";
  }
}

std::wstring BookmenderPath() { return platform::OwnExecutableFolder() + kBookmenderName; }

std::wstring DetailLogPath(const std::wstring& logPath) {
  const std::size_t dot = logPath.rfind(L".log");
  if (dot == std::wstring::npos) return logPath + L"_detail.log";
  return logPath.substr(0, dot) + L"_detail.log" + logPath.substr(dot + 4);
}

void LogFileResult(const std::wstring& filePath, int exitCode, bool fixMode) {
  AppendLogLine(StatusLabel(exitCode, fixMode) + platform::SanitizeForLine(filePath) + L"\n");
}

void RunBookmender(const std::wstring& filePath, const std::wstring& logPath, bool fixMode,
                   bool detail) {
  const std::wstring executable = BookmenderPath();
  // Appending, so that the children's output follows one another in walk
  // order. A target that cannot be opened is not an error of the file: the
  // child runs with its output discarded. The path goes in quotation marks
  // on a Windows command line, so that blanks keep it one argument.
  const int result = platform::RunAndWait(
      executable, {{fixMode ? L"-fix" : L"-check", false}, {filePath, true}},
      detail ? DetailLogPath(logPath) : std::wstring());

  if (result < 0) {
    ReportScanError(filePath, L"Failed to launch Bookmender (error code " + std::to_wstring(result) + L")",
                    true);
  } else {
    LogFileResult(filePath, result, fixMode);
  }
}

}  // namespace shelfscan
