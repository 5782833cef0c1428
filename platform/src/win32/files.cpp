// Windows files: DeleteFileW, and GetTempPathW and GetTempFileNameW for the
// temporary file.
#include <windows.h>

#include "platform/files.h"

namespace platform {

bool DeleteFileAt(const std::wstring& path) { return ::DeleteFileW(path.c_str()) != 0; }

std::wstring TemporaryFolder() {
  // The result is not tested: an unusable folder fails the reservation.
  wchar_t buffer[2048];
  const DWORD n = ::GetTempPathW(2048, buffer);
  if (n == 0 || n >= 2048) return std::wstring();
  return std::wstring(buffer, n);
}

bool ReserveTemporaryFile(const std::wstring& folder, const std::wstring& prefix, std::wstring& path,
                          Win32Error& error) {
  wchar_t buffer[MAX_PATH];
  if (::GetTempFileNameW(folder.c_str(), prefix.c_str(), 0, buffer) == 0) {
    error = ::GetLastError();
    return false;
  }
  path = buffer;
  return true;
}

}  // namespace platform
