// Memory that is about to be written as a whole.
#pragma once

#include <cstddef>

namespace platform {

// Makes the pages of [address, address + size) resident and writable at once,
// where the system can, instead of one page fault at a time as they are
// first written. Only a hint: it changes no content and never fails.
void PrepareForWriting(void* address, std::size_t size);

}  // namespace platform
