// Windows: the search path as the system makes it whole (GetFullPathNameW),
// the identity of a file from its handle, opened as itself.
#include "platform/beneath.h"

#include <windows.h>

#include "handle_io.h"

namespace platform {

HRESULT ResolveTrusted(const std::wstring& path, std::wstring& resolved) {
  // Creating symbolic links takes a privilege ordinary users lack; the
  // folders below the root are checked for every kind of reparse point.
  const DWORD n = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return HResultFromSystemError(::GetLastError());
  std::wstring full(n, L'\0');
  const DWORD got = ::GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
  if (got == 0 || got >= n) return HResultFromSystemError(::GetLastError());
  full.resize(got);
  const DWORD attributes = ::GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ClassifyOpenError(::GetLastError(), false);
  resolved = full;
  return S_OK;
}

bool IsLinkNow(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IdentityOf(const std::wstring& path, FileIdentity& identity, Win32Error& error) {
  const Handle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.valid() || !::GetFileInformationByHandle(file.get(), &info)) {
    error = ::GetLastError();
    return false;
  }
  identity.device = info.dwVolumeSerialNumber;
  identity.file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace platform
