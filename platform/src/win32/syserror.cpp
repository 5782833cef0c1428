// System error texts on Windows come from the system's own message table.
#include <windows.h>

#include "platform/hresult.h"
#include "platform/text.h"

namespace platform {

bool SystemMessageText(Win32Error code, std::wstring& text) {
  // FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER (0x1100),
  // inserts not ignored: the message comes back exactly as the system has
  // it, trailing line end included.
  wchar_t* buffer = nullptr;
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code, 0,
                                   reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (n == 0 || buffer == nullptr) return false;
  text.assign(buffer, n);
  ::LocalFree(buffer);
  return true;
}

std::wstring DecodeSystemText(const std::string& narrow) {
  // The terminator is converted too, as the length -1 asks.
  const int n = ::MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  if (::MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, &wide[0], n) != n) return std::wstring();
  wide.resize(static_cast<std::size_t>(n - 1));
  return wide;
}

}  // namespace platform
