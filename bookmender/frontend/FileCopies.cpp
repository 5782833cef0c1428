#include "frontend/FileCopies.h"

#include <cwchar>

namespace bookmender {

bool MakeBackupCopy(platform::HeldFile& original, const std::wstring& fileName, std::wstring& backup,
                    const LineSink& lines) {
  lines.output(L"Making backup copy of original file");
  for (int n = 0; n <= 999; ++n) {
    std::wstring suffix = L".bak";
    if (n > 0) {
      wchar_t digits[8];
      std::swprintf(digits, 8, L"%03d", n);
      suffix += digits;
    }
    platform::Win32Error error = 0;
    if (original.backUp(suffix, error)) {
      backup = fileName + suffix;
      lines.output(L"Backup copy successfully created: " + backup);
      return true;
    }
    if (error != platform::kErrorFileExists) {
      lines.error(L"Backup failed with error code " + std::to_wstring(error));
      return false;
    }
  }
  return false;
}

ResultCode ReplaceOriginal(const FixPlan& plan, const std::wstring& fileName, const std::wstring& backup,
                           const LineSink& lines) {
  lines.output(L"Replacing original file with fixed version");
  platform::Win32Error error = 0;
  const platform::WriteBackResult written = plan.original->writeBack(*plan.fixedCopy->file(), plan.changes, error);
  const auto failed = [&lines, &error]() {
    lines.error(L"Failed to copy temp file back over original - Win32 error code: " + std::to_wstring(error));
  };
  switch (written) {
    case platform::WriteBackResult::kWritten:
      return Fixable;
    case platform::WriteBackResult::kNotWritable:
      failed();
      return CopyBackFailed;
    case platform::WriteBackResult::kInUse:
      failed();
      lines.error(L"Another program holds a lock on " + fileName + L"; nothing was written to it");
      return SharingViolation;
    case platform::WriteBackResult::kNameChanged:
      lines.error(L"The name " + fileName +
                  L" no longer leads to the file that was checked; nothing was written to it");
      return CopyBackFailed;
    case platform::WriteBackResult::kContentChanged:
      lines.error(L"The file " + fileName + L" changed after it was checked; nothing was written to it. " +
                  L"The backup " + backup + L" is kept");
      return CopyBackFailed;
    case platform::WriteBackResult::kRestored:
      failed();
      lines.error(L"The original file was restored from the backup " + backup);
      return CopyBackFailed;
    case platform::WriteBackResult::kNotRestored:
      failed();
      lines.error(L"The original file could not be restored; its content before the fix is in the backup " +
                  backup);
      return CopyBackFailed;
  }
  return CopyBackFailed;
}

}  // namespace bookmender
