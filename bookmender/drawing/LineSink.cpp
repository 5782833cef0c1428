#include "drawing/LineSink.h"

#include "platform/console.h"
#include "platform/text.h"

namespace bookmender {

const LineSink& ConsoleLineSink() {
  static const LineSink sink{
      [](const std::wstring& line) {
        platform::WriteLine(platform::ConsoleStream::kOutput, platform::SanitizeKeepingLineEnds(line));
      },
      [](const std::wstring& line) {
        platform::WriteLine(platform::ConsoleStream::kError, platform::SanitizeKeepingLineEnds(line));
      },
  };
  return sink;
}

}  // namespace bookmender
