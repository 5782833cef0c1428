// Preloaded (LD_PRELOAD) into a program under test: every mkdir first waits
// BM_MKDIR_DELAY_MS milliseconds, so that two programs started together that
// both found a folder missing both go on to make it, and one of them finds it
// made by the other.
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>

extern "C" int mkdir(const char* path, mode_t mode) {
  using Mkdir = int (*)(const char*, mode_t);
  static const Mkdir real = reinterpret_cast<Mkdir>(::dlsym(RTLD_NEXT, "mkdir"));
  if (const char* delay = std::getenv("BM_MKDIR_DELAY_MS")) {
    ::usleep(static_cast<useconds_t>(std::atoi(delay)) * 1000u);
  }
  return real(path, mode);
}
