#include "frontend/Run.h"

#include <cstdint>
#include <optional>

#include "frontend/CheckAndFix.h"
#include "frontend/FileCopies.h"
#include "frontend/ResultRecord.h"
#include "frontend/TempFile.h"
#include "platform/beneath.h"
#include "platform/child_result.h"
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

// The options between the mode and the file name: "-beneath:ROOT", the
// folder a scan searched, below which the file is reached without following
// a link; "-identity:DEVICE:FILE", the file the scan saw there (which needs
// "-beneath:"); "-result:N", the pipe for the result record
// (ResultRecord.h). Each at most once; false for anything else.
bool ReadOptions(const std::vector<std::wstring>& options, std::optional<platform::Beneath>& beneath,
                 std::optional<std::intptr_t>& resultChannel) {
  static const std::wstring kBeneath = L"-beneath:";
  static const std::wstring kIdentity = L"-identity:";
  static const std::wstring kResult = L"-result:";
  std::optional<platform::FileIdentity> identity;
  for (const std::wstring& option : options) {
    if (option.compare(0, kBeneath.size(), kBeneath) == 0 && !beneath && option.size() > kBeneath.size()) {
      beneath = platform::Beneath{option.substr(kBeneath.size()), std::nullopt};
    } else if (option.compare(0, kIdentity.size(), kIdentity) == 0 && !identity) {
      platform::FileIdentity parsed;
      if (!platform::ParseIdentity(option.substr(kIdentity.size()), parsed)) return false;
      identity = parsed;
    } else if (option.compare(0, kResult.size(), kResult) == 0 && !resultChannel) {
      std::intptr_t channel = 0;
      if (!platform::FindResultChannel(option.substr(kResult.size()), channel)) return false;
      resultChannel = channel;
    } else {
      return false;
    }
  }
  if (identity && !beneath) return false;
  if (beneath) beneath->identity = identity;
  return true;
}

}  // namespace

ResultCode RunBookmender(const std::vector<std::wstring>& arguments, const LineSink& sink) {
  const LineSink lines = arguments.size() >= 2 ? WithNameShown(sink, arguments.back()) : sink;
  FixPlan plan;
  bool fixed = false;
  ResultCode result = NoProblems;
  std::optional<platform::Beneath> beneath;
  std::optional<std::intptr_t> resultChannel;
  std::optional<std::wstring> backupMade;
  if (arguments.size() < 2 || (arguments[0] != L"-check" && arguments[0] != L"-fix") ||
      !ReadOptions({arguments.begin() + 1, arguments.end() - 1}, beneath, resultChannel)) {
    PrintUsage(lines);
    result = InvalidArguments;
  } else {
    const std::wstring& fileName = arguments.back();
    const std::wstring separator(80, L'-');
    lines.output(separator);
    lines.output(L"Checking " + fileName);
    lines.output(separator);
    const bool fix = arguments[0] == L"-fix";
    result = CheckAndFix(plan, fileName, fix, lines, beneath ? &*beneath : nullptr);
    if (fix && result == Fixable) {
      fixed = true;
      // A request to stop waits for the step under way, so that neither
      // the backup nor the original is left half-written.
      bool backedUp = false;
      std::wstring backup;
      {
        const platform::TerminationDeferral deferral;
        backedUp = MakeBackupCopy(*plan.original, fileName, backup, lines);
        // Named at once, before a request to stop is let through: a run
        // ended from outside from here on still tells where the backup is.
        if (backedUp) backupMade = backup;
        if (backupMade && resultChannel) {
          platform::WriteResult(*resultChannel, ResultRecord(kBackupOnly, platform::NameBytes(*backupMade)));
        }
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
  if (resultChannel) {
    platform::WriteResultAndClose(
        *resultChannel, ResultRecord(result, backupMade ? std::optional<std::string>(platform::NameBytes(*backupMade))
                                                        : std::nullopt));
  }
  return result;
}

}  // namespace bookmender
