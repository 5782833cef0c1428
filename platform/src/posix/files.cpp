#include "platform/files.h"

#include <cerrno>
#include <cwchar>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "copy_content.h"
#include "fd.h"
#include "platform/text.h"

namespace platform {

namespace {

bool Fail(Win32Error& error, int err, const std::string& path) {
  error = Win32ErrorFromErrno(err, path);
  return false;
}

}  // namespace

bool DeleteFileAt(const std::wstring& path) { return ::unlink(EncodeNative(path).c_str()) == 0; }

std::wstring TemporaryFolder() {
  std::string folder = "/tmp";
  if (const char* env = std::getenv("TMPDIR"); env && *env) {
    struct stat st;
    if (::stat(env, &st) == 0 && S_ISDIR(st.st_mode)) folder = env;
  }
  if (folder.back() != '/') folder.push_back('/');
  return DecodeNative(folder);
}

bool ReserveTemporaryFile(const std::wstring& folder, const std::wstring& prefix, std::wstring& path,
                          Win32Error& error) {
  // Like the system's own scheme: a 16-bit counter from a random start,
  // trying every number once before giving up.
  std::random_device seed;
  const unsigned start = seed() & 0xFFFF;
  for (unsigned i = 0; i < 0x10000; ++i) {
    const unsigned unique = (start + i) & 0xFFFF;
    if (unique == 0) continue;
    wchar_t hex[8];
    std::swprintf(hex, 8, L"%X", unique);
    const std::wstring candidate = folder + prefix + hex + L".tmp";
    const std::string native = EncodeNative(candidate);
    const Fd reserved(OpenRetrying(native.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
    if (reserved.valid()) {
      path = candidate;
      return true;
    }
    if (errno != EEXIST) return Fail(error, errno, native);
  }
  error = kErrorFileExists;
  return false;
}

}  // namespace platform
