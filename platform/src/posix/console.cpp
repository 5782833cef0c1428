#include "platform/console.h"

#include <cerrno>
#include <unistd.h>

#include "platform/text.h"

namespace platform {

namespace {

// Writes all of `bytes` to `fd`, retrying short writes and interruptions. A
// failure is given up silently: the next line is tried afresh.
void WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

int Descriptor(ConsoleStream stream) {
  return stream == ConsoleStream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
}

}  // namespace

void WriteLine(ConsoleStream stream, const std::wstring& line) {
  std::string bytes = EncodeNative(line);
  bytes.push_back('\n');
  WriteAll(Descriptor(stream), bytes);
}

void WriteNarrowLine(ConsoleStream stream, const std::string& line) {
  WriteAll(Descriptor(stream), line + "\n");
}

}  // namespace platform
