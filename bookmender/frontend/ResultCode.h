// The result of a Bookmender run, which is also its exit code: the one
// contract between the two programs. Shelfscan links this header alone and
// turns the same enumerators into its status labels.
#pragma once

#include <string>

namespace bookmender {

enum ResultCode : int {
  NoProblems = 0,
  Fixable = 1,
  Malformed = 2,
  ContainerLengthIssues = 3,
  PasswordProtected = 4,
  InvalidArguments = 50,
  FileNotFound = 51,
  AccessDenied = 52,
  SharingViolation = 53,
  NotBiff8Workbook = 54,
  TempCopyFailed = 55,
  CopyBackFailed = 56,
  BackupFailed = 57,
};

// Every result, in order; a code outside this list is none of Bookmender's.
inline constexpr ResultCode kResultCodes[] = {
    NoProblems,       Fixable,         Malformed,      ContainerLengthIssues, PasswordProtected,
    InvalidArguments, FileNotFound,    AccessDenied,   SharingViolation,      NotBiff8Workbook,
    TempCopyFailed,   CopyBackFailed,  BackupFailed,
};

// The text after "Final result: ". For Fixable, `fixed` tells whether the
// fix was applied to the file (fix mode) or only found (check mode).
inline std::wstring FinalMessage(ResultCode code, bool fixed) {
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
