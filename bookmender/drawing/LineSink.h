// Where the drawing engine's progress and error lines go. The program writes
// them to the console; tests hand in their own sink to see the exact lines.
#pragma once

#include <functional>
#include <string>

namespace bookmender {

struct LineSink {
  std::function<void(const std::wstring&)> output;  // progress lines
  std::function<void(const std::wstring&)> error;   // error lines
};

// Writes each line whole to standard output or standard error, with control
// characters and undecodable bytes as U+FFFD: only the line ends of a message
// of several lines reach the console as they are.
const LineSink& ConsoleLineSink();

}  // namespace bookmender
