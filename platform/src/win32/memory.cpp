#include "platform/memory.h"

namespace platform {

// No such hint is used here: the pages come as they are first written.
void PrepareForWriting(void*, std::size_t) {}

}  // namespace platform
