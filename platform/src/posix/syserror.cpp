// System error numbers on POSIX systems: errno values are mapped onto Win32
// error numbers so that messages and classification are the same everywhere,
// and their text comes from a small table of Windows' own wording.
#include <cerrno>
#include <string>
#include <sys/stat.h>

#include "fd.h"
#include "platform/hresult.h"
#include "platform/text.h"

namespace platform {

namespace {

// True when the folder part of `path` exists (or there is none).
bool ParentFolderExists(const std::string& path) {
  if (path.find('/') == std::string::npos) return true;
  struct stat st;
  return ::stat(FolderOf(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct MessageEntry {
  Win32Error code;
  const wchar_t* text;
};

const MessageEntry kMessages[] = {
    {kErrorFileNotFound, L"The system cannot find the file specified."},
    {kErrorPathNotFound, L"The system cannot find the path specified."},
    {kErrorTooManyOpenFiles, L"The system cannot open the file."},
    {kErrorAccessDenied, L"Access is denied."},
    {kErrorInvalidHandle, L"The handle is invalid."},
    {kErrorNotEnoughMemory, L"Not enough memory resources are available to process this command."},
    {kErrorNotSameDevice, L"The system cannot move the file to a different disk drive."},
    {kErrorWriteProtect, L"The media is write protected."},
    {kErrorGenFailure, L"A device attached to the system is not functioning."},
    {kErrorSharingViolation,
     L"The process cannot access the file because it is being used by another process."},
    {kErrorFileExists, L"The file exists."},
    {kErrorInvalidParameter, L"The parameter is incorrect."},
    {kErrorDiskFull, L"There is not enough space on the disk."},
    {kErrorFilenameExcedRange, L"The filename or extension is too long."},
    {kErrorFileTooLarge, L"The file size exceeds the limit allowed and cannot be saved."},
    {kErrorIoDevice, L"The request could not be performed because of an I/O device error."},
    {kErrorCantResolveFilename, L"The name of the file cannot be resolved by the system."},
};

}  // namespace

Win32Error Win32ErrorFromErrno(int err, const std::string& path) {
  switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: return ParentFolderExists(path) ? kErrorFileNotFound : kErrorPathNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    case EROFS: return kErrorWriteProtect;
    case EBUSY:
    case ETXTBSY: return kErrorSharingViolation;
    case EEXIST: return kErrorFileExists;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case EFBIG: return kErrorFileTooLarge;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case EINVAL: return kErrorInvalidParameter;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EIO: return kErrorIoDevice;
    case ELOOP: return kErrorCantResolveFilename;
    case EXDEV: return kErrorNotSameDevice;
    default: return kErrorGenFailure;
  }
}

bool SystemMessageText(Win32Error code, std::wstring& text) {
  for (const auto& entry : kMessages) {
    if (entry.code == code) {
      text = entry.text;
      return true;
    }
  }
  return false;
}

std::wstring DecodeSystemText(const std::string& narrow) { return DecodeNative(narrow); }

}  // namespace platform
