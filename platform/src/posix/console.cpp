#include "platform/console.h"

#include <unistd.h>

#include <mutex>

#include "fd.h"
#include "platform/text.h"

namespace platform {

namespace {

int Descriptor(ConsoleStream stream) {
  return stream == ConsoleStream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
}

// One writer at a time, and the status line now shown (empty: none).
std::mutex& ConsoleLock() {
  static std::mutex lock;
  return lock;
}
std::string g_status;

// Blanks over the status line, back to its start.
std::string Erase(std::size_t width) { return "\r" + std::string(width, ' ') + "\r"; }

// A failed write is given up silently: the next line is tried afresh.
void WriteLocked(int fd, const std::string& bytes) {
  if (g_status.empty()) {
    WriteAll(fd, bytes);
    return;
  }
  WriteAll(STDERR_FILENO, Erase(g_status.size()));
  WriteAll(fd, bytes);
  WriteAll(STDERR_FILENO, g_status);
}

}  // namespace

void WriteLine(ConsoleStream stream, const std::wstring& line) {
  std::string bytes = EncodeNative(line);
  bytes.push_back('\n');
  const std::lock_guard<std::mutex> hold(ConsoleLock());
  WriteLocked(Descriptor(stream), bytes);
}

void WriteNarrowLine(ConsoleStream stream, const std::string& line) {
  const std::lock_guard<std::mutex> hold(ConsoleLock());
  WriteLocked(Descriptor(stream), line + "\n");
}

bool IsTerminal(ConsoleStream stream) { return ::isatty(Descriptor(stream)) == 1; }

void ShowStatus(const std::wstring& text) {
  static const bool terminal = IsTerminal(ConsoleStream::kError);
  if (!terminal) return;
  // Printable ASCII only, so that its width is its length.
  std::string status;
  for (const wchar_t c : text) status.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  const std::lock_guard<std::mutex> hold(ConsoleLock());
  // Blanks over what a longer line before left.
  const std::size_t rest = g_status.size() > status.size() ? g_status.size() - status.size() : 0;
  WriteAll(STDERR_FILENO, "\r" + status + std::string(rest, ' '));
  g_status = status;
}

void ClearStatus() {
  const std::lock_guard<std::mutex> hold(ConsoleLock());
  if (g_status.empty()) return;
  WriteAll(STDERR_FILENO, Erase(g_status.size()));
  g_status.clear();
}

}  // namespace platform
