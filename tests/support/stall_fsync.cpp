// Preloaded (LD_PRELOAD) into a scan: every fsync of Bookmender waits for
// good, so that a fix stands still in the middle, its backup being flushed,
// until it is ended from outside. Other programs are left alone.
#include <dlfcn.h>
#include <errno.h>
#include <unistd.h>

#include <cstring>

extern "C" int fsync(int fd) {
  if (std::strcmp(program_invocation_short_name, "Bookmender") == 0) {
    for (;;) ::sleep(1000);
  }
  using Fsync = int (*)(int);
  static const Fsync real = reinterpret_cast<Fsync>(::dlsym(RTLD_NEXT, "fsync"));
  return real(fd);
}
