#include "frontend/Run.h"

#include "drawing/CheckAndFix.h"
#include "frontend/FileCopies.h"
#include "frontend/TempFile.h"
#include "platform/termination.h"

namespace bookmender {

namespace {

void PrintUsage(const LineSink& lines) {
  lines.error(L"Usage:");
  lines.error(L"Bookmender -check <filename>");
  lines.error(L"Bookmender -fix <filename>");
}

}  // namespace

ResultCode RunBookmender(const std::vector<std::wstring>& arguments, const LineSink& lines) {
  TempFilePtr fixedCopy;
  bool fixed = false;
  ResultCode result = NoProblems;
  if (arguments.size() != 2 || (arguments[0] != L"-check" && arguments[0] != L"-fix")) {
    PrintUsage(lines);
    result = InvalidArguments;
  } else {
    const std::wstring& fileName = arguments[1];
    const std::wstring separator(80, L'-');
    lines.output(separator);
    lines.output(L"Checking " + fileName);
    lines.output(separator);
    result = CheckAndFix(fixedCopy, fileName, lines);
    if (arguments[0] == L"-fix" && result == Fixable) {
      fixed = true;
      // A request to stop waits for the step under way, so that neither
      // the backup nor the original is left half-written.
      bool backedUp = false;
      {
        const platform::TerminationDeferral deferral;
        backedUp = MakeBackupCopy(fileName, lines);
      }
      if (!backedUp) {
        result = BackupFailed;
      } else {
        const platform::TerminationDeferral deferral;
        if (!ReplaceOriginal(fixedCopy->path(), fileName, lines)) result = CopyBackFailed;
      }
    }
  }
  lines.output(L"Final result: " + FinalMessage(result, fixed));
  fixedCopy.reset();
  return result;
}

}  // namespace bookmender
