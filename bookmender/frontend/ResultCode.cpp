#include "frontend/ResultCode.h"

namespace bookmender {

std::wstring FinalMessage(ResultCode code, bool fixed) {
  switch (code) {
    case NoProblems: return L"No problems were detected with the file";
    case Fixable: return fixed ? L"A problem was fixed" : L"A problem was detected that Bookmender can fix";
    case Malformed: return L"The file is malformed in a way that Bookmender cannot fix";
    case ContainerLengthIssues: return L"The file contains container length issues";
    case PasswordProtected: return L"The file is password protected";
    case InvalidArguments: return L"Invalid command-line arguments were provided";
    case FileNotFound: return L"The specified file was not found";
    case AccessDenied: return L"Insufficient permissions to check the specified file";
    case SharingViolation: return L"Specified file was in use when check was attempted";
    case NotBiff8Workbook: return L"Specified file is not an Excel 97 or later XLS workbook";
    case TempCopyFailed:
      return L"Specified file needs fixing, but Bookmender failed to make a temporary copy of it";
    case CopyBackFailed:
      return L"Specified file needs fixing, but Bookmender failed to copy the fixed file back over the "
             L"original";
    case BackupFailed:
      return L"Specified file needs fixing, but Bookmender failed to make a backup copy";
  }
  return std::wstring();
}

}  // namespace bookmender
