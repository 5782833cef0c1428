#include "platform/console.h"

#include <unistd.h>

#include "fd.h"
#include "platform/text.h"

namespace platform {

namespace {

int Descriptor(ConsoleStream stream) {
  return stream == ConsoleStream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
}

}  // namespace

// A failed write is given up silently: the next line is tried afresh.
void WriteLine(ConsoleStream stream, const std::wstring& line) {
  std::string bytes = EncodeNative(line);
  bytes.push_back('\n');
  WriteAll(Descriptor(stream), bytes);
}

void WriteNarrowLine(ConsoleStream stream, const std::string& line) {
  WriteAll(Descriptor(stream), line + "\n");
}

}  // namespace platform
