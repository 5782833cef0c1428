// Windows console output: UTF-16 through WriteConsoleW when the stream is a
// console, so that every character shows whatever the code page; UTF-8 bytes
// through WriteFile when it is redirected to a file, a pipe or the null
// device. Lines end in CR LF. Each line is one call, and a failed call is
// forgotten: the next line is tried afresh.
#include <windows.h>

#include "platform/console.h"

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

// UTF-8 of UTF-16 text; a lone surrogate becomes U+FFFD rather than ending
// the line.
std::string Utf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = static_cast<std::uint16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint16_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace

void WriteLine(ConsoleStream stream, const std::wstring& line) {
  const HANDLE handle = Handle(stream);
  if (!Usable(handle)) return;
  if (IsConsole(handle)) {
    WriteWide(handle, line + L"\r\n");
  } else {
    WriteBytes(handle, Utf8(line) + "\r\n");
  }
}

void WriteNarrowLine(ConsoleStream stream, const std::string& line) {
  const HANDLE handle = Handle(stream);
  if (Usable(handle)) WriteBytes(handle, line + "\r\n");
}

}  // namespace platform
