// Windows processes: arguments from the command line the system keeps, the
// own folder from GetModuleFileNameW, children started with CreateProcessW
// on a command line text and an inherited output handle.
#include <windows.h>
#include <shellapi.h>

#include "platform/process.h"

namespace platform {

namespace {

// The children's output: an inheritable copy of the log's handle for this
// run, or the null device. Either is append-only, so that every write of the
// child lands at the end of the file, whoever else appends.
HANDLE OpenOutput(const LogFile* log) {
  if (log != nullptr && log->isOpen()) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    const HANDLE self = ::GetCurrentProcess();
    if (!::DuplicateHandle(self, reinterpret_cast<HANDLE>(log->nativeHandle()), self, &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS)) {
      return INVALID_HANDLE_VALUE;
    }
    return copy;
  }
  SECURITY_ATTRIBUTES inheritable{};
  inheritable.nLength = sizeof inheritable;
  inheritable.bInheritHandle = TRUE;
  return ::CreateFileW(L"nul:", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

int Launch(const std::wstring& executable, std::wstring commandLine, HANDLE output) {
  if (executable.empty()) return -1;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = output == INVALID_HANDLE_VALUE ? nullptr : output;
  startup.hStdError = startup.hStdOutput;
  PROCESS_INFORMATION process{};
  // Plain NORMAL_PRIORITY_CLASS: with a console of its own or none, the
  // child's inherited handles would stay open for a while after it ended.
  if (!::CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &process)) {
    return -1;
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  const bool read = ::GetExitCodeProcess(process.hProcess, &code) != 0;
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return read ? static_cast<int>(static_cast<std::int32_t>(code)) : -1;
}

}  // namespace

std::vector<std::wstring> ProgramArguments(int, char**) {
  std::vector<std::wstring> arguments;
  int count = 0;
  wchar_t** words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (words == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.emplace_back(words[i]);
  ::LocalFree(words);
  return arguments;
}

std::wstring OwnExecutableFolder() {
  wchar_t buffer[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  // A path that fills the whole buffer may have been cut.
  if (n == 0 || n >= MAX_PATH) return std::wstring();
  const std::wstring path(buffer, n);
  const std::size_t backslash = path.rfind(L'\\');
  if (backslash == std::wstring::npos) return std::wstring();
  return path.substr(0, backslash);
}

bool CanStart(const std::wstring& executable, Win32Error& error) {
  const DWORD attributes = ::GetFileAttributesW(executable.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    error = ::GetLastError();
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    error = ERROR_ACCESS_DENIED;
    return false;
  }
  // The right CreateProcessW needs: the file's security may deny it alone.
  const HANDLE handle = ::CreateFileW(executable.c_str(), FILE_EXECUTE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = ::GetLastError();
    return false;
  }
  ::CloseHandle(handle);
  return true;
}

int RunAndWait(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
               const LogFile* output) {
  std::wstring commandLine;
  for (const ChildArgument& argument : arguments) {
    commandLine += L' ';
    commandLine += argument.quoted ? L'"' + argument.text + L'"' : argument.text;
  }
  // An output that cannot be had leaves the child without a usable one.
  const HANDLE handle = OpenOutput(output);
  const int result = Launch(executable, commandLine, handle);
  if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  return result;
}

}  // namespace platform
