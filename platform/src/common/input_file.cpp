// The parts of an input file that are the same on every system: who owns
// the handle as it moves. Opening, reading and closing are the system's.
#include "platform/input_file.h"

namespace platform {

InputFile::~InputFile() { close(); }

InputFile::InputFile(InputFile&& other) noexcept : handle_(other.handle_), owned_(other.owned_) {
  other.handle_ = kNone;
  other.owned_ = false;
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    owned_ = other.owned_;
    other.handle_ = kNone;
    other.owned_ = false;
  }
  return *this;
}

}  // namespace platform
