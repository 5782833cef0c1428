#include "platform/files.h"

#include <cstdlib>
#include <sys/stat.h>

#include "platform/text.h"

namespace platform {

std::wstring TemporaryFolder() {
  std::string folder = "/tmp";
  if (const char* env = std::getenv("TMPDIR"); env && *env) {
    struct stat st;
    if (::stat(env, &st) == 0 && S_ISDIR(st.st_mode)) folder = env;
  }
  if (folder.back() != '/') folder.push_back('/');
  return DecodeNative(folder);
}

}  // namespace platform
