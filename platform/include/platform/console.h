// Console output that never loses a line.
//
// Each line is composed whole and handed to the system in one write, so the
// two streams keep their order in one file and nothing is buffered. A failed
// write does not stop later lines.
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

}  // namespace platform
