#include "platform/memory.h"

#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

namespace platform {

void PrepareForWriting(void* address, std::size_t size) {
#if defined(__linux__)
  // Linux 5.14 and later; older kernels answer EINVAL and the pages come one
  // fault at a time, as without the hint.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
  const long page = ::sysconf(_SC_PAGESIZE);
  if (page <= 0 || size == 0) return;
  const auto mask = static_cast<std::uintptr_t>(page) - 1;
  const auto start = reinterpret_cast<std::uintptr_t>(address) & ~mask;
  const auto end = (reinterpret_cast<std::uintptr_t>(address) + size + mask) & ~mask;
  (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
#else
  (void)address;
  (void)size;
#endif
}

}  // namespace platform
