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

// One writer at a time, and the status line now shown (empty: none).
CRITICAL_SECTION& ConsoleLock() {
  struct Section {
    Section() { InitializeCriticalSection(&section); }
    CRITICAL_SECTION section;
  };
  static Section lock;
  return lock.section;
}
std::wstring g_status;

class Locked {
 public:
  Locked() { EnterCriticalSection(&ConsoleLock()); }
  ~Locked() { LeaveCriticalSection(&ConsoleLock()); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// Text on a stream as WriteLine writes it, without a line end of its own.
void Put(HANDLE handle, const std::wstring& text) {
  if (!Usable(handle)) return;
  if (IsConsole(handle)) {
    WriteWide(handle, text);
  } else {
    // A lone surrogate becomes U+FFFD rather than ending the line.
    WriteAll(handle, EncodeUtf8(text, LoneSurrogate::kReplacement));
  }
}

// Writes `write` with the status line taken away for it and put back after.
template <typename Write>
void AroundStatus(Write write) {
  const Locked hold;
  const HANDLE error = Handle(ConsoleStream::kError);
  if (!g_status.empty()) Put(error, L"\r" + std::wstring(g_status.size(), L' ') + L"\r");
  write();
  if (!g_status.empty()) Put(error, g_status);
}

}  // namespace

void WriteLine(ConsoleStream stream, const std::wstring& line) {
  const HANDLE handle = Handle(stream);
  if (!Usable(handle)) return;
  AroundStatus([&] { Put(handle, line + L"\r\n"); });
}

void WriteNarrowLine(ConsoleStream stream, const std::string& line) {
  const HANDLE handle = Handle(stream);
  if (Usable(handle)) AroundStatus([&] { WriteAll(handle, line + "\r\n"); });
}

bool IsTerminal(ConsoleStream stream) {
  const HANDLE handle = Handle(stream);
  return Usable(handle) && IsConsole(handle);
}

void ShowStatus(const std::wstring& text) {
  static const bool terminal = IsTerminal(ConsoleStream::kError);
  if (!terminal) return;
  std::wstring status;
  for (const wchar_t c : text) status.push_back(c >= 0x20 && c < 0x7F ? c : L'?');
  const Locked hold;
  // Blanks over what a longer line before left.
  const std::size_t rest = g_status.size() > status.size() ? g_status.size() - status.size() : 0;
  Put(Handle(ConsoleStream::kError), L"\r" + status + std::wstring(rest, L' '));
  g_status = status;
}

void ClearStatus() {
  const Locked hold;
  if (g_status.empty()) return;
  Put(Handle(ConsoleStream::kError), L"\r" + std::wstring(g_status.size(), L' ') + L"\r");
  g_status.clear();
}

}  // namespace platform
