#include "errors/Exception.h"

#include <cstdio>

namespace bookmender {

std::wstring HRESULTErrorDetail::text() const {
  const auto code = static_cast<std::uint32_t>(hr_);
  std::wstring systemText;
  // Only Win32 codes (facility 7) have a system message.
  if (((code >> 16) & 0x1FFF) == 7) {
    std::wstring message;
    if (platform::SystemMessageText(code & 0xFFFF, message)) systemText = L" - " + message;
  }
  wchar_t hex[16];
  std::swprintf(hex, sizeof hex / sizeof hex[0], L"%x", static_cast<unsigned>(code));
  std::wstring result = L"HRESULT(" + std::wstring(hex) + L")" + systemText;
  if (!context_.empty()) result += L" - " + context_;
  return result;
}

std::wstring Exception::fullMessage() const {
  std::wstring message = description();
  if (detail_) message += L" [" + detail_->text() + L"]";
  return message;
}

}  // namespace bookmender
