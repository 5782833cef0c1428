// Preloaded (LD_PRELOAD) into a program under test: every mkdir and mkdirat
// first waits BM_MKDIR_DELAY_MS milliseconds, so that two programs started
// together that both found a folder missing both go on to make it, and one of
// them finds it made by the other (or by whoever else made it meanwhile).
// With BM_MKDIR_MARK the wait starts by creating that file, so that a test
// knows when to act.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>

namespace {

void Delay() {
  if (const char* mark = std::getenv("BM_MKDIR_MARK")) {
    const int fd = ::open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
  if (const char* delay = std::getenv("BM_MKDIR_DELAY_MS")) {
    ::usleep(static_cast<useconds_t>(std::atoi(delay)) * 1000u);
  }
}

}  // namespace

extern "C" int mkdir(const char* path, mode_t mode) {
  using Mkdir = int (*)(const char*, mode_t);
  static const Mkdir real = reinterpret_cast<Mkdir>(::dlsym(RTLD_NEXT, "mkdir"));
  Delay();
  return real(path, mode);
}

extern "C" int mkdirat(int folder, const char* path, mode_t mode) {
  using Mkdirat = int (*)(int, const char*, mode_t);
  static const Mkdirat real = reinterpret_cast<Mkdirat>(::dlsym(RTLD_NEXT, "mkdirat"));
  Delay();
  return real(folder, path, mode);
}
