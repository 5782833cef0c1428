#include "frontend/Undo.h"

#include <memory>

#include "frontend/ResultRecord.h"
#include "platform/text.h"

namespace bookmender {

namespace {

// Why the file was not reached: every reason but a lock or a permission
// is "not found", as for a check.
ResultCode OpenFailure(HRESULT hr, const std::wstring& fileName, const LineSink& lines) {
  switch (hr) {
    case platform::kLinkOnTheWay:
      lines.error(fileName + L": a symbolic link lies on its way below the folder given; it was not followed");
      return FileNotFound;
    case platform::kNotTheFileSeen:
      lines.error(fileName + L": the name leads to another file than the one given; it was not read");
      return FileNotFound;
    case platform::kNotBeneath:
      lines.error(fileName + L": it does not lie below the folder given");
      return FileNotFound;
    case platform::kUntrustedLink:
      lines.error(fileName + L": a symbolic link of another user lies on the way to the folder given");
      return FileNotFound;
    case STG_E_FILENOTFOUND:
    case STG_E_PATHNOTFOUND:
    case STG_E_INVALIDNAME:
      lines.error(fileName + L": no such file");
      return FileNotFound;
    case STG_E_FILEALREADYEXISTS:
      lines.error(fileName + L": not a regular file");
      return FileNotFound;
    case STG_E_ACCESSDENIED:
      lines.error(fileName + L": access denied");
      return AccessDenied;
    case STG_E_SHAREVIOLATION:
      lines.error(fileName + L": another program holds the file");
      return SharingViolation;
    default:
      lines.error(fileName + L": the file could not be opened - error code " +
                  std::to_wstring(static_cast<std::uint32_t>(hr)));
      return RestoreFailed;
  }
}

}  // namespace

std::optional<std::wstring> BackupSuffix(const std::wstring& fileName, const std::wstring& backup) {
  if (fileName.empty() || backup.size() <= fileName.size() || backup.compare(0, fileName.size(), fileName) != 0) {
    return std::nullopt;
  }
  const std::wstring suffix = backup.substr(fileName.size());
  if (suffix == L".bak") return suffix;
  if (suffix.size() != 7 || suffix.compare(0, 4, L".bak") != 0) return std::nullopt;
  for (std::size_t i = 4; i < 7; ++i) {
    if (suffix[i] < L'0' || suffix[i] > L'9') return std::nullopt;
  }
  // -fix counts from .bak001; .bak000 is none of its names.
  if (suffix == L".bak000") return std::nullopt;
  return suffix;
}

bool ParseUndoProof(const std::wstring& text, platform::RepairState& left) {
  std::string narrow;
  for (const wchar_t c : text) {
    if (c == L':') {
      narrow.push_back(' ');
    } else if (c > 0x20 && c < 0x7F) {
      narrow.push_back(static_cast<char>(c));
    } else {
      return false;
    }
  }
  const std::size_t first = narrow.find(' ');
  if (first == std::string::npos) return false;
  const std::size_t second = narrow.find(' ', first + 1);
  if (second == std::string::npos) return false;
  // The second result line's form, with a modification time of 0.
  RepairProof proof;
  const std::string line =
      "BMR1 = " + narrow.substr(0, second) + " 0 " + narrow.substr(second + 1) + "\n";
  if (!ParseProofRecord(line, proof)) return false;
  left.sha256 = proof.sha256;
  left.size = proof.size;
  left.mtimeNs = 0;
  left.backupSha256 = proof.backupSha256;
  return true;
}

ResultCode UndoRepair(const std::wstring& fileName, const std::wstring& suffix, const platform::RepairState& left,
                      const platform::Beneath* beneath, const LineSink& lines) {
  std::shared_ptr<platform::HeldFile> held;
  const HRESULT hr = platform::HeldFile::open(fileName, true, held, beneath);
  if (platform::Failed(hr)) return OpenFailure(hr, fileName, lines);
  const std::wstring backup = fileName + suffix;
  lines.output(L"Restoring the file from the backup " + backup);
  platform::Win32Error error = 0;
  const platform::RestoreResult restored = held->restoreFrom(suffix, left, error);
  const std::wstring code = L" - Win32 error code: " + std::to_wstring(error);
  switch (restored) {
    case platform::RestoreResult::kRestored:
      lines.output(L"The backup's content is back in " + fileName + L"; the backup is kept");
      return Restored;
    case platform::RestoreResult::kAlreadyRestored:
      lines.output(L"The file already holds the backup's content");
      return Restored;
    case platform::RestoreResult::kBackupMissing:
      lines.error(L"There is no backup " + backup);
      return BackupMissing;
    case platform::RestoreResult::kBackupChanged:
      lines.error(L"The backup " + backup + L" is a link, no regular file, or not the content the repair left");
      return BackupChanged;
    case platform::RestoreResult::kChangedSinceRepair:
      lines.error(L"The file " + fileName + L" is not what the repair left");
      return ChangedSinceRepair;
    case platform::RestoreResult::kNoAccess:
      lines.error(L"The file could not be written or the backup read" + code + L"; nothing was written");
      return AccessDenied;
    case platform::RestoreResult::kInUse:
      lines.error(L"Another program holds a lock on " + fileName + L"; nothing was written to it");
      return SharingViolation;
    case platform::RestoreResult::kNameChanged:
      lines.error(L"The name " + fileName + L" no longer leads to the file opened; nothing was written to it");
      return FileNotFound;
    case platform::RestoreResult::kPutBack:
      lines.error(L"Writing the backup's content failed" + code + L"; the file is again as the repair left it");
      return RestoreFailed;
    case platform::RestoreResult::kNotPutBack:
      lines.error(L"Writing the backup's content failed" + code +
                  L", and the file could not be put back as the repair left it; the backup " + backup +
                  L" holds its content before the repair");
      return RestoreFailed;
  }
  return RestoreFailed;
}

}  // namespace bookmender
