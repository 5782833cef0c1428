// Arbitrary bytes as a property set stream, parsed on their own, with names
// looked up in both sets (see exercise_platform.h).
#include <cstdint>

#include "exercise_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::ExercisePropertySet(data, size);
  return 0;
}
