#include "frontend/Run.h"

#include "drawing/CheckAndFix.h"
#include "frontend/FileCopies.h"
#include "frontend/TempFile.h"
#include "platform/termination.h"
#include "platform/text.h"

namespace bookmender {

namespace {

// The lines with the file's name shown as Shelfscan's logs show it: control
// characters and undecodable bytes as U+FFFD. The console sink replaces them
// too but keeps line feeds, which are line ends in the program's own messages
// and would split a line here. The name given to the system is unchanged.
LineSink WithNameShown(const LineSink& lines, const std::wstring& fileName) {
  const std::wstring shown = platform::SanitizeForLine(fileName);
  if (shown == fileName) return lines;
  const auto show = [fileName, shown](std::wstring line) {
    for (std::size_t at = line.find(fileName); at != std::wstring::npos;
         at = line.find(fileName, at + shown.size())) {
      line.replace(at, fileName.size(), shown);
    }
    return line;
  };
  return {[&lines, show](const std::wstring& line) { lines.output(show(line)); },
          [&lines, show](const std::wstring& line) { lines.error(show(line)); }};
}

void PrintUsage(const LineSink& lines) {
  lines.error(L"Usage:");
  lines.error(L"Bookmender -check <filename>");
  lines.error(L"Bookmender -fix <filename>");
}

}  // namespace

ResultCode RunBookmender(const std::vector<std::wstring>& arguments, const LineSink& sink) {
  const LineSink lines = arguments.size() == 2 ? WithNameShown(sink, arguments[1]) : sink;
  FixPlan plan;
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
    const bool fix = arguments[0] == L"-fix";
    result = CheckAndFix(plan, fileName, fix, lines);
    if (fix && result == Fixable) {
      fixed = true;
      // A request to stop waits for the step under way, so that neither
      // the backup nor the original is left half-written.
      bool backedUp = false;
      std::wstring backup;
      {
        const platform::TerminationDeferral deferral;
        backedUp = MakeBackupCopy(*plan.original, fileName, backup, lines);
      }
      if (!backedUp) {
        result = BackupFailed;
      } else {
        const platform::TerminationDeferral deferral;
        result = ReplaceOriginal(plan, fileName, backup, lines);
      }
    }
  }
  lines.output(L"Final result: " + FinalMessage(result, fixed));
  // The scratch copy goes first, then the original's handle and its locks.
  plan.fixedCopy.reset();
  plan.original.reset();
  return result;
}

}  // namespace bookmender
