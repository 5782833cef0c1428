// Running the built programs on Windows: CreateProcessW on a quoted command
// line, with pipes for the two output streams; and second handles that hold
// a file the way other programs do.
#include <windows.h>

#include <stdexcept>
#include <thread>

#include "process.h"

namespace testsupport {

namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

// One argument as the runtime's command-line parser reads it back: quoted
// when it is empty or holds blanks or quotes, backslashes doubled before a
// quotation mark.
std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(2 * backslashes, L'\\');
  out.push_back(L'"');
  return out;
}

void ReadAll(HANDLE pipe, std::string* out) {
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) out->append(buffer, got);
}

// Sets environment entries for the next child and puts the old values back.
class EnvironmentOverride {
 public:
  explicit EnvironmentOverride(const std::vector<std::string>& entries) {
    for (const std::string& entry : entries) {
      const std::size_t equals = entry.find('=');
      const std::wstring name = Wide(entry.substr(0, equals));
      const std::wstring value = Wide(equals == std::string::npos ? std::string() : entry.substr(equals + 1));
      wchar_t old[32768];
      const DWORD n = ::GetEnvironmentVariableW(name.c_str(), old, 32768);
      saved_.push_back({name, n > 0 && n < 32768, std::wstring(old, n > 0 && n < 32768 ? n : 0)});
      ::SetEnvironmentVariableW(name.c_str(), value.c_str());
    }
  }
  ~EnvironmentOverride() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      ::SetEnvironmentVariableW(it->name.c_str(), it->existed ? it->value.c_str() : nullptr);
    }
  }

 private:
  struct Saved {
    std::wstring name;
    bool existed;
    std::wstring value;
  };
  std::vector<Saved> saved_;
};

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  if (options.uid >= 0 || options.fileSizeLimit >= 0) {
    throw std::invalid_argument("RunProcess: users and file size limits are POSIX conditions");
  }
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outRead, outWrite, errRead, errWrite;
  if (!::CreatePipe(&outRead, &outWrite, &inheritable, 0) || !::CreatePipe(&errRead, &errWrite, &inheritable, 0)) {
    throw std::runtime_error("CreatePipe");
  }
  ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  const HANDLE input = ::CreateFileW(L"nul", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                     OPEN_EXISTING, 0, nullptr);

  std::wstring commandLine;
  for (const std::string& argument : argv) {
    if (!commandLine.empty()) commandLine.push_back(L' ');
    commandLine += Quoted(Wide(argument));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = outWrite;
  startup.hStdError = options.mergeOutput ? outWrite : errWrite;
  PROCESS_INFORMATION process{};
  const std::wstring folder = Wide(options.workingDirectory);
  BOOL started;
  {
    EnvironmentOverride environment(options.environment);
    started = ::CreateProcessW(Wide(argv.at(0)).c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                               folder.empty() ? nullptr : folder.c_str(), &startup, &process);
  }
  ::CloseHandle(outWrite);
  ::CloseHandle(errWrite);
  if (input != INVALID_HANDLE_VALUE) ::CloseHandle(input);

  ProcessResult result;
  if (started) {
    std::thread errors(ReadAll, errRead, &result.error);
    ReadAll(outRead, &result.output);
    errors.join();
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    if (::GetExitCodeProcess(process.hProcess, &code)) result.exitCode = static_cast<int>(code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  ::CloseHandle(outRead);
  ::CloseHandle(errRead);
  if (!started) throw std::runtime_error("CreateProcessW " + argv.at(0));
  return result;
}

LockHolder::LockHolder(const std::string& path, char kind) {
  DWORD access = GENERIC_READ, share = FILE_SHARE_READ;
  if (kind == 'w') access = GENERIC_READ | GENERIC_WRITE, share = 0;
  if (kind == 'p') access = GENERIC_WRITE, share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const HANDLE handle = ::CreateFileW(Wide(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  held_ = handle != INVALID_HANDLE_VALUE;
  if (held_) handle_ = handle;
}

LockHolder::~LockHolder() {
  if (held_) ::CloseHandle(static_cast<HANDLE>(handle_));
}

// Lines end in CR LF on Windows; a lone LF ends a line too.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    const auto stop = end > start && text[end - 1] == '\r' ? end - 1 : end;
    lines.push_back(text.substr(start, stop - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace testsupport
