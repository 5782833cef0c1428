#include "platform/links.h"

#include <windows.h>

namespace platform {

bool IsLinkEntry(const std::wstring& path, bool& link, Win32Error& error) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    error = ::GetLastError();
    return false;
  }
  link = false;
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  // Reading attributes needs no right on the content, only the entry itself.
  const HANDLE handle = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  FILE_ATTRIBUTE_TAG_INFO info{};
  const bool read = handle != INVALID_HANDLE_VALUE &&
                    ::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info) != 0;
  if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  // Other reparse points (cloud placeholders, deduplicated files) are the
  // entry's own content.
  link = !read || ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(info.ReparseTag));
  return true;
}

}  // namespace platform
