// Stands in for Bookmender beside a copy of Shelfscan in the Windows
// end-to-end tests. Appends the command line exactly as it arrived (UTF-8,
// one line) to the file named by BM_RECORD and the kind of its standard
// output ("disk" for a file, "char" for the null device, "pipe") to the file
// named by BM_OUTPUTS, writes one line of its own on standard output and one
// on standard error, and ends as the file's name asks: code-N.xls exits with
// N, hang-*.xls waits a minute, anything else ends with 0. Given -result:H,
// it writes the result record naming no backup to the handle H first.
//
// Given -serve:FILES -result:H first, it stands in for a resident Bookmender:
// each request line starts a run of this program on the command line a run
// of one file would have had (so that what such a run records stays the
// same), whose exit code it replies with; a run that died of an exception
// ends it the same way, without a reply.
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

void Write(HANDLE handle, const std::string& bytes) {
  DWORD put = 0;
  WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
}

// Appends `line` to the file named by the environment variable `name`, if
// it is set.
void Append(const wchar_t* name, const std::string& line) {
  wchar_t path[32768];
  const DWORD n = GetEnvironmentVariableW(name, path, 32768);
  if (n == 0 || n >= 32768) return;
  const HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  Write(file, line + "\n");
  CloseHandle(file);
}

const char* OutputKind(HANDLE handle) {
  switch (GetFileType(handle)) {
    case FILE_TYPE_DISK: return "disk";
    case FILE_TYPE_CHAR: return "char";
    case FILE_TYPE_PIPE: return "pipe";
    default: return "unknown";
  }
}

HANDLE HandleFrom(const std::wstring& digits) {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::wcstoull(digits.c_str(), nullptr, 10)));
}

// One request line from standard input ("BMQ1" and hexadecimal UTF-16LE
// arguments), as the arguments; false at the end of the input.
bool ReadRequest(std::vector<std::wstring>& arguments) {
  std::string line;
  char c = 0;
  DWORD got = 0;
  while (line.size() < (1u << 22) && ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got == 1) {
    if (c == '\n') break;
    line.push_back(c);
  }
  if (line.compare(0, 5, "BMQ1 ") != 0) return false;
  arguments.clear();
  std::string bytes;
  for (std::size_t at = 5; at <= line.size(); ++at) {
    if (at == line.size() || line[at] == ' ') {
      std::wstring argument;
      for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        argument.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                                static_cast<unsigned char>(bytes[i + 1]) << 8));
      }
      arguments.push_back(argument);
      bytes.clear();
    } else if (at + 1 < line.size()) {
      bytes.push_back(static_cast<char>(std::stoi(line.substr(at, 2), nullptr, 16)));
      ++at;
    }
  }
  return true;
}

// The command line Shelfscan gives a run of one file: each argument after a
// blank, the place options and the file's path in quotation marks, with
// their trailing backslashes doubled.
std::wstring CommandLineOf(const std::vector<std::wstring>& arguments) {
  std::wstring line;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    const bool quoted = i + 1 == arguments.size() || argument.compare(0, 9, L"-beneath:") == 0 ||
                        argument.compare(0, 8, L"-backup:") == 0;
    line += L' ';
    if (!quoted) {
      line += argument;
      continue;
    }
    std::size_t trailing = 0;
    while (trailing < argument.size() && argument[argument.size() - 1 - trailing] == L'\\') ++trailing;
    line += L'"' + argument + std::wstring(trailing, L'\\') + L'"';
  }
  return line;
}

// Runs this program on `commandLine` with this one's output, and gives its
// exit code. The run belongs to a job that ends with this process, so that a
// server ended from outside takes its run along, as a run of one file ends
// when it is ended.
DWORD RunOnce(HANDLE job, std::wstring commandLine) {
  wchar_t self[MAX_PATH];
  if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return 0xC0000001;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(self, &commandLine[0], nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, &process)) {
    return 0xC0000001;
  }
  if (job != nullptr) AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

int Serve(const std::vector<std::wstring>& words) {
  if (words.size() != 3 || words[2].compare(0, 8, L"-result:") != 0) return 2;
  const unsigned long files = std::wcstoul(words[1].c_str() + 7, nullptr, 10);
  const HANDLE channel = HandleFrom(words[2].substr(8));
  // The runs get this one's output and nothing else of its own.
  SetHandleInformation(channel, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(GetStdHandle(STD_INPUT_HANDLE), HANDLE_FLAG_INHERIT, 0);
  const HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job != nullptr) SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  std::vector<std::wstring> arguments;
  for (unsigned long served = 1; served <= files && ReadRequest(arguments); ++served) {
    const DWORD code = RunOnce(job, CommandLineOf(arguments));
    if (code >= 0xC0000000) ExitProcess(code);
    if (served == files) {
      CloseHandle(GetStdHandle(STD_INPUT_HANDLE));
      SetStdHandle(STD_INPUT_HANDLE, nullptr);
    }
    Write(channel, "BMR1 " + std::to_string(static_cast<int>(code)) + " -\n");
  }
  return 0;
}

}  // namespace

int main() {
  const std::wstring commandLine = GetCommandLineW();
  int count = 0;
  wchar_t** split = CommandLineToArgvW(commandLine.c_str(), &count);
  const std::vector<std::wstring> words(split, split == nullptr ? split : split + count);
  if (split != nullptr) LocalFree(split);
  if (words.size() > 1 && words[1].compare(0, 7, L"-serve:") == 0) return Serve(words);
  Append(L"BM_RECORD", Utf8(commandLine));
  Append(L"BM_OUTPUTS", OutputKind(GetStdHandle(STD_OUTPUT_HANDLE)));
  const std::wstring path = words.empty() ? L"" : words.back();
  Write(GetStdHandle(STD_OUTPUT_HANDLE), "out " + Utf8(path) + "\r\n");
  Write(GetStdHandle(STD_ERROR_HANDLE), "err " + Utf8(path) + "\r\n");

  const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  const int code = name.compare(0, 5, L"code-") == 0 ? static_cast<int>(std::wcstol(name.c_str() + 5, nullptr, 10)) : 0;
  if (name.compare(0, 5, L"hang-") == 0) Sleep(60000);
  const std::size_t result = commandLine.find(L" -result:");
  if (result != std::wstring::npos) {
    const HANDLE channel = reinterpret_cast<HANDLE>(
        static_cast<std::uintptr_t>(std::wcstoull(commandLine.c_str() + result + 9, nullptr, 10)));
    Write(channel, "BMR1 " + std::to_string(code) + " -\n");
    CloseHandle(channel);
  }
  return code;
}
