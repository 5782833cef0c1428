// Windows files: DeleteFileW, GetTempPathW and GetTempFileNameW for the
// temporary file, and an append through a handle opened without sharing.
#include <windows.h>

#include "platform/files.h"
#include "write_all.h"

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

bool AppendWithoutSharing(const std::wstring& path, const std::string& header, const std::string& bytes) {
  const HANDLE handle = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  const bool empty = ::GetFileSizeEx(handle, &size) && size.QuadPart == 0;
  const bool written = WriteAll(handle, empty ? header + bytes : bytes);
  ::CloseHandle(handle);
  return written;
}

}  // namespace platform
