// Preloaded (LD_PRELOAD) into a scan: just before Shelfscan opens the folder
// named $BM_SWAP_FOLDER (by its last name, for listing), the shell command
// $BM_SWAP runs once, as another user would swap the folder for a link in
// that instant. The programs it starts are left alone.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

extern "C" int openat(int dirfd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  static std::atomic<bool> done{false};
  const char* folder = std::getenv("BM_SWAP_FOLDER");
  const char* swap = std::getenv("BM_SWAP");
  if (folder && swap && (flags & O_DIRECTORY) && std::strcmp(path, folder) == 0 &&
      std::strcmp(program_invocation_short_name, "Shelfscan") == 0 && !done.exchange(true)) {
    if (std::system(swap) != 0) std::abort();
  }
  using OpenAt = int (*)(int, const char*, int, ...);
  static const OpenAt real = reinterpret_cast<OpenAt>(::dlsym(RTLD_NEXT, "openat"));
  return real(dirfd, path, flags, mode);
}
