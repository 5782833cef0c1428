// Console output that never loses a line.
//
// Each line is composed whole and handed to the system in one write, so the
// two streams keep their order in one file and nothing is buffered. A failed
// write does not stop later lines. Lines from several threads never mix: one
// is written at a time.
#pragma once

#include <string>

namespace platform {

enum class ConsoleStream { kOutput, kError };

// Writes `line` and a line end. Linux writes UTF-8 (escaped bytes go out as
// the original bytes) and LF. Windows writes UTF-16 to a console and UTF-8
// (a lone surrogate as U+FFFD) to anything else, with CR LF.
void WriteLine(ConsoleStream stream, const std::wstring& line);
// Writes narrow text as it is, with a line end.
void WriteNarrowLine(ConsoleStream stream, const std::string& line);

// Whether the stream is a terminal (isatty; a console on Windows).
bool IsTerminal(ConsoleStream stream);

// A status line at the bottom of a terminal, on standard error, and only
// when standard error is a terminal: ShowStatus puts `text` (one short line
// of printable characters) in place of the status shown before. While one is
// shown, every line written above takes it away first and puts it back
// after, so that lines and status never run into each other. ClearStatus
// takes it away for good, leaving the cursor at the start of an empty line.
void ShowStatus(const std::wstring& text);
void ClearStatus();

}  // namespace platform
