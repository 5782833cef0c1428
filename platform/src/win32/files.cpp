// Windows files: CopyFileW for the whole-file copies, DeleteFileW,
// GetTempPathW and GetTempFileNameW for the temporary file, and an append
// through a handle opened without sharing.
#include <windows.h>

#include "platform/files.h"
#include "write_all.h"

namespace platform {

namespace {

// Flushes a finished copy to disk. CopyFileW leaves that to the cache.
bool FlushToDisk(const std::wstring& path, Win32Error& error) {
  const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = ::GetLastError();
    return false;
  }
  const bool flushed = ::FlushFileBuffers(handle) != 0;
  if (!flushed) error = ::GetLastError();
  ::CloseHandle(handle);
  return flushed;
}

}  // namespace

bool CopyWholeFile(const std::wstring& source, const std::wstring& target, bool failIfExists,
                   Win32Error& error, bool flushToDisk) {
  error = kErrorSuccess;
  // CopyFileW removes a target it created when the copy breaks off, and an
  // existing target is ERROR_FILE_EXISTS with fail-if-exists.
  if (!::CopyFileW(source.c_str(), target.c_str(), failIfExists ? TRUE : FALSE)) {
    error = ::GetLastError();
    return false;
  }
  // CopyFileW hands the source's read-only attribute on. A scratch copy of a
  // read-only original must stay writable (it is repaired in place) and
  // deletable; the attribute of a file that is overwritten in place was
  // clear already, or the copy would have failed.
  if (!failIfExists) {
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
      ::SetFileAttributesW(target.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
  }
  // The backup must be on disk before the original is overwritten, and the
  // copy back before the run counts as done.
  if (flushToDisk && !FlushToDisk(target, error)) {
    if (failIfExists) ::DeleteFileW(target.c_str());
    return false;
  }
  return true;
}

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
