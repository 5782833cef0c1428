// Arbitrary bytes as a compound file, held in memory: every stream read and
// written back, every property set opened (see exercise_platform.h).
#include <cstdint>

#include "exercise_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::ExerciseCompoundFile(data, size);
  return 0;
}
