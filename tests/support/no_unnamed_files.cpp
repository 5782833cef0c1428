// Preloaded (LD_PRELOAD) into a program under test: openat(2) refuses
// O_TMPFILE with EOPNOTSUPP, as on a file system without unnamed files, so
// that the program makes its files under their names. A file made with
// O_CREAT | O_EXCL is then left as it was made for BM_CREATE_DELAY_MS
// milliseconds, so that another process can try to open it meanwhile.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

namespace {

using OpenAt = int (*)(int, const char*, int, ...);

int Open(const char* symbol, int folder, const char* path, int flags, mode_t mode) {
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  const OpenAt real = reinterpret_cast<OpenAt>(::dlsym(RTLD_NEXT, symbol));
  const int fd = real(folder, path, flags, mode);
  const char* delay = std::getenv("BM_CREATE_DELAY_MS");
  if (fd >= 0 && delay != nullptr && (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
    ::usleep(static_cast<useconds_t>(std::atoi(delay)) * 1000u);
  }
  return fd;
}

// The mode comes only with the flags that create a file.
bool TakesMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

}  // namespace

extern "C" int openat(int folder, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = TakesMode(flags) ? static_cast<mode_t>(va_arg(arguments, unsigned)) : 0;
  va_end(arguments);
  return Open("openat", folder, path, flags, mode);
}

extern "C" int openat64(int folder, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = TakesMode(flags) ? static_cast<mode_t>(va_arg(arguments, unsigned)) : 0;
  va_end(arguments);
  return Open("openat64", folder, path, flags, mode);
}
