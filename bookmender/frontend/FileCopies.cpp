#include "frontend/FileCopies.h"

#include <cwchar>

#include "platform/files.h"

namespace bookmender {

bool MakeBackupCopy(const std::wstring& original, const LineSink& lines) {
  lines.output(L"Making backup copy of original file");
  for (int n = 0; n <= 999; ++n) {
    std::wstring candidate = original + L".bak";
    if (n > 0) {
      wchar_t digits[8];
      std::swprintf(digits, 8, L"%03d", n);
      candidate += digits;
    }
    platform::Win32Error error = 0;
    if (platform::CopyWholeFile(original, candidate, true, error)) {
      lines.output(L"Backup copy successfully created: " + candidate);
      return true;
    }
    if (error != platform::kErrorFileExists) {
      lines.error(L"Backup failed with error code " + std::to_wstring(error));
      return false;
    }
  }
  return false;
}

bool ReplaceOriginal(const std::wstring& fixedCopy, const std::wstring& original, const LineSink& lines) {
  lines.output(L"Replacing original file with fixed version");
  platform::Win32Error error = 0;
  if (!platform::CopyWholeFile(fixedCopy, original, false, error)) {
    lines.error(L"Failed to copy temp file back over original - Win32 error code: " +
                std::to_wstring(error));
    return false;
  }
  return true;
}

}  // namespace bookmender
