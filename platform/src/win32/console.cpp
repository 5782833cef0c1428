// Windows console output: UTF-16 through WriteConsoleW when the stream is a
// console, so that every character shows whatever the code page; UTF-8 bytes
// through WriteFile when it is redirected to a file, a pipe or the null
// device. Lines end in CR LF. Each line is one call, and a failed call is
// forgotten: the next line is tried afresh.
#include <windows.h>

#include "platform/console.h"
#include "utf8.h"

namespace platform {

namespace {

HANDLE Handle(ConsoleStream stream) {
  return ::GetStdHandle(stream == ConsoleStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool Usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return ::GetConsoleMode(handle, &mode) != 0;
}

void WriteBytes(HANDLE handle, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD put = 0;
    if (!::WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &put, nullptr) ||
        put == 0) {
      return;
    }
    done += put;
  }
}

void WriteWide(HANDLE handle, const std::wstring& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD put = 0;
    if (!::WriteConsoleW(handle, text.data() + done, static_cast<DWORD>(text.size() - done), &put, nullptr) ||
        put == 0) {
      return;
    }
    done += put;
  }
}

}  // namespace

void WriteLine(ConsoleStream stream, const std::wstring& line) {
  const HANDLE handle = Handle(stream);
  if (!Usable(handle)) return;
  if (IsConsole(handle)) {
    WriteWide(handle, line + L"\r\n");
  } else {
    // A lone surrogate becomes U+FFFD rather than ending the line.
    WriteBytes(handle, EncodeUtf8(line, LoneSurrogate::kReplacement) + "\r\n");
  }
}

void WriteNarrowLine(ConsoleStream stream, const std::string& line) {
  const HANDLE handle = Handle(stream);
  if (Usable(handle)) WriteBytes(handle, line + "\r\n");
}

}  // namespace platform
