// Windows files: the temporary folder (GetTempPathW) and the private
// scratch files made in it.
#include <windows.h>

#include <cwchar>
#include <random>

#include "handle_io.h"
#include "platform/files.h"

namespace platform {

std::wstring TemporaryFolder() {
  // The result is not tested: an unusable folder fails the file's creation.
  wchar_t buffer[2048];
  const DWORD n = ::GetTempPathW(2048, buffer);
  if (n == 0 || n >= 2048) return std::wstring();
  return std::wstring(buffer, n);
}

HANDLE CreatePrivateScratch(const wchar_t* prefix, Win32Error& error) {
  const std::wstring folder = TemporaryFolder();
  if (folder.empty()) {
    error = ERROR_PATH_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  std::random_device seed;
  for (int attempt = 0; attempt < 100; ++attempt) {
    wchar_t name[48];
    std::swprintf(name, 48, L"%ls%08X%08X.tmp", prefix, static_cast<unsigned>(seed()), static_cast<unsigned>(seed()));
    const HANDLE file = ::CreateFileW((folder + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace platform
