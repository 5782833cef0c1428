// Windows console output: UTF-16 through WriteConsoleW when the stream is a
// console, so that every character shows whatever the code page; UTF-8 bytes
// through WriteFile when it is redirected to a file, a pipe or the null
// device. Lines end in CR LF. Each line is one call, and a failed call is
// forgotten: the next line is tried afresh.
#include <windows.h>

#include "platform/console.h"
#include "utf8.h"
#include "write_all.h"

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

void WriteWide(HANDLE handle, const std::wstring& text) {
  WriteAllOf(text, [handle](const wchar_t* data, DWORD count, DWORD& put) {
    return ::WriteConsoleW(handle, data, count, &put, nullptr) != 0;
  });
}

}  // namespace

void WriteLine(ConsoleStream stream, const std::wstring& line) {
  const HANDLE handle = Handle(stream);
  if (!Usable(handle)) return;
  if (IsConsole(handle)) {
    WriteWide(handle, line + L"\r\n");
  } else {
    // A lone surrogate becomes U+FFFD rather than ending the line.
    WriteAll(handle, EncodeUtf8(line, LoneSurrogate::kReplacement) + "\r\n");
  }
}

void WriteNarrowLine(ConsoleStream stream, const std::string& line) {
  const HANDLE handle = Handle(stream);
  if (Usable(handle)) WriteAll(handle, line + "\r\n");
}

}  // namespace platform
