// The result of a Bookmender run, which is also its exit code. Shelfscan
// reads the same numbers.
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

// The text after "Final result: ". For Fixable, `fixed` tells whether the
// fix was applied to the file (fix mode) or only found (check mode).
std::wstring FinalMessage(ResultCode code, bool fixed);

}  // namespace bookmender
