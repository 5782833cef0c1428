// Stands in for Bookmender beside a copy of Shelfscan in the Windows
// end-to-end tests. Appends the command line exactly as it arrived (UTF-8,
// one line) to the file named by BM_RECORD and the kind of its standard
// output ("disk" for a file, "char" for the null device, "pipe") to the file
// named by BM_OUTPUTS, writes one line of its own on standard output and one
// on standard error, and ends as the file's name asks: code-N.xls exits with
// N, hang-*.xls waits a minute, anything else ends with 0. Given -result:H,
// it writes the result record naming no backup to the handle H first.
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdlib>
#include <string>

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

}  // namespace

int main() {
  const std::wstring commandLine = GetCommandLineW();
  Append(L"BM_RECORD", Utf8(commandLine));
  Append(L"BM_OUTPUTS", OutputKind(GetStdHandle(STD_OUTPUT_HANDLE)));
  int count = 0;
  wchar_t** words = CommandLineToArgvW(commandLine.c_str(), &count);
  const std::wstring path = words != nullptr && count > 0 ? words[count - 1] : L"";
  if (words != nullptr) LocalFree(words);
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
