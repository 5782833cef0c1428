// Arbitrary bytes as a workbook, held in memory, through everything
// Bookmender does without writing (see exercise.h).
#include <cstdint>

#include "exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    fuzzing::ExerciseWorkbook(data, size);
  } catch (const bookmender::Exception&) {
  }
  return 0;
}
