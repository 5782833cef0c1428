// Windows processes: arguments from the command line the system keeps, the
// own folder from GetModuleFileNameW, children started with CreateProcessW
// on a command line text and an inherited output handle.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cwchar>

#include "child_start.h"
#include "handle_io.h"
#include "platform/files.h"
#include "platform/process.h"

namespace platform {

namespace {

// An inheritable copy of `handle`, or INVALID_HANDLE_VALUE.
HANDLE InheritableCopy(HANDLE handle) {
  HANDLE copy = INVALID_HANDLE_VALUE;
  const HANDLE self = ::GetCurrentProcess();
  if (!::DuplicateHandle(self, handle, self, &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) return INVALID_HANDLE_VALUE;
  return copy;
}

}  // namespace

CRITICAL_SECTION& StartLock() {
  struct Section {
    Section() { InitializeCriticalSection(&section); }
    CRITICAL_SECTION section;
  };
  static Section lock;
  return lock.section;
}

// The log is append-only, so that every write of the child lands at the end
// of the file, whoever else appends.
HANDLE OpenOutput(HANDLE handle) {
  if (handle != INVALID_HANDLE_VALUE) return InheritableCopy(handle);
  SECURITY_ATTRIBUTES inheritable{};
  inheritable.nLength = sizeof inheritable;
  inheritable.bInheritHandle = TRUE;
  return ::CreateFileW(L"nul:", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::wstring CommandLine(const std::vector<ChildArgument>& arguments) {
  std::wstring commandLine;
  for (const ChildArgument& argument : arguments) {
    commandLine += L' ';
    if (!argument.quoted) {
      commandLine += argument.text;
      continue;
    }
    // Backslashes before the closing quotation mark are doubled, so that the
    // child does not read the mark as part of the text ("C:\\share\\").
    std::size_t trailing = 0;
    while (trailing < argument.text.size() && argument.text[argument.text.size() - 1 - trailing] == L'\\') ++trailing;
    commandLine += L'"' + argument.text + std::wstring(trailing, L'\\') + L'"';
  }
  return commandLine;
}

ChildEnd EndOfProcess(HANDLE process, bool timedOut) {
  ChildEnd end;
  end.timedOut = timedOut;
  DWORD code = 0;
  if (!::GetExitCodeProcess(process, &code)) return end;
  end.started = true;
  end.exited = !timedOut;
  end.code = timedOut ? 0 : static_cast<int>(static_cast<std::int32_t>(code));
  return end;
}

namespace {

// Starts the child with `output` (or nul:) as its standard output and error
// and waits for it. The inheritable copy lives only while the child starts.
// With `result`, its pipe's write end is inheritable while this child alone
// starts, and closed here right after.
ChildEnd Launch(const std::wstring& executable, std::wstring commandLine, HANDLE output, ChildTimeLimit limit,
                ResultPipe* result) {
  ChildEnd end;
  if (executable.empty()) {
    if (result != nullptr) result->closeWriteEnd();
    return end;
  }
  PROCESS_INFORMATION process{};
  EnterCriticalSection(&StartLock());
  const HANDLE inherited = OpenOutput(output);
  if (result != nullptr) {
    ::SetHandleInformation(reinterpret_cast<HANDLE>(result->writeEnd()), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  // An output that cannot be had leaves the child without a usable one.
  startup.hStdOutput = inherited == INVALID_HANDLE_VALUE ? nullptr : inherited;
  startup.hStdError = startup.hStdOutput;
  // Plain NORMAL_PRIORITY_CLASS: with a console of its own or none, the
  // child's inherited handles would stay open for a while after it ended.
  const bool started = ::CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                        NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process) != 0;
  if (inherited != INVALID_HANDLE_VALUE) ::CloseHandle(inherited);
  if (result != nullptr) result->closeWriteEnd();
  LeaveCriticalSection(&StartLock());
  if (!started) return end;
  DWORD wait = INFINITE;
  if (limit > ChildTimeLimit::zero()) {
    wait = static_cast<DWORD>(std::min<ChildTimeLimit::rep>(limit.count(), INFINITE - 1));
  }
  if (::WaitForSingleObject(process.hProcess, wait) == WAIT_TIMEOUT) {
    // Ended as a kill ends it: the repair's copy goes with its handle, and
    // its backup exists before the original is written.
    end.timedOut = ::TerminateProcess(process.hProcess, 1) != 0;
    ::WaitForSingleObject(process.hProcess, INFINITE);
  }
  end = EndOfProcess(process.hProcess, end.timedOut);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return end;
}

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

void KeepStandardDescriptorsTaken() {}
bool StandardInputWasClosed() { return false; }

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

ChildEnd RunChild(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
                  const LogFile* output, ChildTimeLimit limit, ResultPipe* result) {
  const bool open = output != nullptr && output->isOpen();
  return Launch(executable, CommandLine(arguments), open ? AsHandle(output->nativeHandle()) : INVALID_HANDLE_VALUE,
                limit, result);
}

int RunAndWait(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
               const LogFile* output) {
  return RunChild(executable, arguments, output).result();
}

ChildEnd RunChild(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
                  const ScratchOutput& output, ChildTimeLimit limit, ResultPipe* result) {
  if (!output.isOpen()) {
    if (result != nullptr) result->closeWriteEnd();
    return ChildEnd();
  }
  return Launch(executable, CommandLine(arguments), AsHandle(output.nativeHandle()), limit, result);
}

ScratchOutput::~ScratchOutput() { close(); }

bool ScratchOutput::isOpen() const { return AsHandle(handle_) != INVALID_HANDLE_VALUE; }

void ScratchOutput::close() {
  if (isOpen()) ::CloseHandle(AsHandle(handle_));
  handle_ = -1;
}

bool ScratchOutput::create(Win32Error& error) {
  close();
  const HANDLE file = CreatePrivateScratch(L"shs", error);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool ScratchOutput::read(std::string& bytes, Win32Error& error) const {
  bytes.clear();
  if (!isOpen()) {
    error = ERROR_INVALID_PARAMETER;
    return false;
  }
  char buffer[65536];
  for (;;) {
    std::size_t done = 0;
    const HRESULT hr = ReadAtHandle(AsHandle(handle_), bytes.size(), buffer, sizeof buffer, done);
    if (Failed(hr)) {
      error = Win32ErrorFromHResult(hr);
      return false;
    }
    bytes.append(buffer, done);
    if (done < sizeof buffer) return true;
  }
}

bool ScratchOutput::clear(Win32Error& error) {
  if (!isOpen()) {
    error = ERROR_INVALID_PARAMETER;
    return false;
  }
  // The child's copy of the handle shares this file pointer: its next write
  // lands at the start again.
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(AsHandle(handle_), start, nullptr, FILE_BEGIN) || !::SetEndOfFile(AsHandle(handle_))) {
    error = ::GetLastError();
    return false;
  }
  return true;
}

}  // namespace platform
