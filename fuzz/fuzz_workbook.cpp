// Arbitrary bytes as a workbook file, through everything Bookmender does
// without writing (see exercise.h).
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "exercise.h"
#include "platform/text.h"

namespace {

std::string ScratchPath() {
  const char* shm = "/dev/shm";
  const std::string folder = access(shm, W_OK) == 0 ? shm : "/tmp";
  return folder + "/fuzz_workbook_" + std::to_string(getpid()) + ".xls";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = ScratchPath();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  const bool written = std::fwrite(data, 1, size, f) == size;
  std::fclose(f);
  if (!written) return 0;
  try {
    fuzzing::ExerciseWorkbook(platform::DecodeNative(path));
  } catch (const bookmender::Exception&) {
  }
  return 0;
}
