// The result of a Bookmender run, which is also its exit code. Together with
// the result record (ResultRecord.h) it is the contract between the two
// programs: Shelfscan links these headers alone, logs the exit code under the
// name given here and learns a backup's name from the record only.
#pragma once

#include <cstddef>
#include <string>

namespace bookmender {

enum ResultCode : int {
  NoProblems = 0,
  Fixable = 1,
  Malformed = 2,
  ContainerLengthIssues = 3,
  PasswordProtected = 4,
  Restored = 5,
  InvalidArguments = 50,
  FileNotFound = 51,
  AccessDenied = 52,
  SharingViolation = 53,
  NotBiff8Workbook = 54,
  TempCopyFailed = 55,
  CopyBackFailed = 56,
  BackupFailed = 57,
  ChangedSinceRepair = 58,
  BackupMissing = 59,
  BackupChanged = 60,
  RestoreFailed = 61,
};

// Every result, in order; a code outside this list is none of Bookmender's.
inline constexpr ResultCode kResultCodes[] = {
    NoProblems,       Fixable,        Malformed,      ContainerLengthIssues, PasswordProtected,
    Restored,         InvalidArguments, FileNotFound, AccessDenied,          SharingViolation,
    NotBiff8Workbook, TempCopyFailed, CopyBackFailed, BackupFailed,          ChangedSinceRepair,
    BackupMissing,    BackupChanged,  RestoreFailed,
};

// How Shelfscan names each result: the word of its status label ("[word],"
// in the main log, "[word]" in the summary, "word" in the report). A fixable
// file has one word when the fix was only found (check mode) and another when
// it was applied (fix mode); every other result has the same word in both.
struct ResultName {
  ResultCode code;
  const wchar_t* word;
  const wchar_t* fixWord;  // in fix mode, when it is another word; else null
};

inline constexpr ResultName kResultNames[] = {
    {NoProblems, L"ok", nullptr},
    {Fixable, L"fixable", L"fixed"},
    {Malformed, L"broken", nullptr},
    {ContainerLengthIssues, L"container problem", nullptr},
    {PasswordProtected, L"password", nullptr},
    {Restored, L"restored", nullptr},
    {InvalidArguments, L"bad arguments", nullptr},
    {FileNotFound, L"file not found", nullptr},
    {AccessDenied, L"access denied", nullptr},
    {SharingViolation, L"sharing violation", nullptr},
    {NotBiff8Workbook, L"not BIFF8 workbook", nullptr},
    {TempCopyFailed, L"temp copy failed", nullptr},
    {CopyBackFailed, L"copy back failed", nullptr},
    {BackupFailed, L"backup failed", nullptr},
    {ChangedSinceRepair, L"changed since repair", nullptr},
    {BackupMissing, L"backup missing", nullptr},
    {BackupChanged, L"backup changed", nullptr},
    {RestoreFailed, L"restore failed", nullptr},
};

constexpr bool NamesEveryResultInOrder() {
  if (sizeof kResultNames / sizeof kResultNames[0] != sizeof kResultCodes / sizeof kResultCodes[0]) return false;
  for (std::size_t i = 0; i < sizeof kResultCodes / sizeof kResultCodes[0]; ++i) {
    if (kResultNames[i].code != kResultCodes[i]) return false;
  }
  return true;
}
static_assert(NamesEveryResultInOrder(), "every result code needs its name, in the order of kResultCodes");

// The text after "Final result: ". For Fixable, `fixed` tells whether the
// fix was applied to the file (fix mode) or only found (check mode).
inline std::wstring FinalMessage(ResultCode code, bool fixed) {
  switch (code) {
    case NoProblems: return L"No problems were detected with the file";
    case Fixable: return fixed ? L"A problem was fixed" : L"A problem was detected that Bookmender can fix";
    case Malformed: return L"The file is malformed in a way that Bookmender cannot fix";
    case ContainerLengthIssues: return L"The file contains container length issues";
    case PasswordProtected: return L"The file is password protected";
    case Restored: return L"The file was restored from its backup";
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
    case ChangedSinceRepair: return L"The file changed after it was repaired; nothing was written to it";
    case BackupMissing: return L"The backup is missing; nothing was written to the file";
    case BackupChanged: return L"The backup is not the one the repair made; nothing was written to the file";
    case RestoreFailed: return L"Bookmender failed to write the backup back into the file";
  }
  return std::wstring();
}

}  // namespace bookmender
