#include "drawing/LineSink.h"

#include "platform/console.h"

namespace bookmender {

const LineSink& ConsoleLineSink() {
  static const LineSink sink{
      [](const std::wstring& line) { platform::WriteLine(platform::ConsoleStream::kOutput, line); },
      [](const std::wstring& line) { platform::WriteLine(platform::ConsoleStream::kError, line); },
  };
  return sink;
}

}  // namespace bookmender
