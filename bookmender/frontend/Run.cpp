#include "frontend/Run.h"

#include <cstdint>
#include <optional>

#include "frontend/CheckAndFix.h"
#include "frontend/FileCopies.h"
#include "frontend/ResultRecord.h"
#include "frontend/TempFile.h"
#include "frontend/Undo.h"
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

// The second result line, from the descriptors the copy back used. Only
// for a parent that asked for records: digesting a large file costs time a
// plain fix need not spend.
void WriteRepairProof(const FixPlan& plan, std::intptr_t channel, const LineSink& lines) {
  platform::RepairState state;
  platform::Win32Error error = 0;
  if (!plan.original->repairState(*plan.fixedCopy->file(), state, error)) {
    lines.error(L"The repaired file could not be digested - Win32 error code: " + std::to_wstring(error));
    return;
  }
  platform::WriteResult(channel, ProofRecord(RepairProof{state.sha256, state.size, state.mtimeNs, state.backupSha256}));
}

// The run's first three lines: `text` between two rules of 80 dashes.
void Banner(const LineSink& lines, const std::wstring& text) {
  const std::wstring separator(80, L'-');
  lines.output(separator);
  lines.output(text);
  lines.output(separator);
}

void PrintUsage(const LineSink& lines) {
  lines.error(L"Usage:");
  lines.error(L"Bookmender -check <filename>");
  lines.error(L"Bookmender -fix <filename>");
}

// What an undo is given besides the file: "-backup:NAME", the backup the
// repair made, and "-proof:SHA256:SIZE:BACKUPSHA256", what it left.
struct UndoOptions {
  std::optional<std::wstring> backup;
  std::optional<std::wstring> proof;
};

// The options between the mode and the file name: "-beneath:ROOT", the
// folder a scan searched, below which the file is reached without following
// a link; "-identity:DEVICE:FILE", the file the scan saw there (which needs
// "-beneath:"); "-result:N", the pipe for the result record
// (ResultRecord.h); with `undo`, also its options. Each at most once; false
// for anything else.
bool ReadOptions(const std::vector<std::wstring>& options, std::optional<platform::Beneath>& beneath,
                 std::optional<std::intptr_t>& resultChannel, UndoOptions* undo = nullptr) {
  static const std::wstring kBeneath = L"-beneath:";
  static const std::wstring kIdentity = L"-identity:";
  static const std::wstring kResult = L"-result:";
  static const std::wstring kBackup = L"-backup:";
  static const std::wstring kProof = L"-proof:";
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
    } else if (undo && option.compare(0, kBackup.size(), kBackup) == 0 && !undo->backup) {
      undo->backup = option.substr(kBackup.size());
    } else if (undo && option.compare(0, kProof.size(), kProof) == 0 && !undo->proof) {
      undo->proof = option.substr(kProof.size());
    } else {
      return false;
    }
  }
  if (identity && !beneath) return false;
  if (beneath) beneath->identity = identity;
  return true;
}

}  // namespace

RunEnd RunOne(const std::vector<std::wstring>& arguments, const LineSink& sink,
              std::optional<std::intptr_t> servingChannel) {
  const LineSink lines = arguments.size() >= 2 ? WithNameShown(sink, arguments.back()) : sink;
  FixPlan plan;
  bool fixed = false;
  ResultCode result = NoProblems;
  std::optional<platform::Beneath> beneath;
  // Serving, the channel is the server's: a "-result:" of the request's
  // own is refused as any second one is.
  std::optional<std::intptr_t> resultChannel = servingChannel;
  std::optional<std::wstring> backupMade;
  if (arguments.size() >= 2 && arguments[0] == L"-undo") {
    UndoOptions undo;
    std::optional<std::wstring> suffix;
    platform::RepairState left;
    if (!ReadOptions({arguments.begin() + 1, arguments.end() - 1}, beneath, resultChannel, &undo) ||
        !undo.backup || !undo.proof || !(suffix = BackupSuffix(arguments.back(), *undo.backup)) ||
        !ParseUndoProof(*undo.proof, left)) {
      PrintUsage(lines);
      result = InvalidArguments;
    } else {
      const std::wstring& fileName = arguments.back();
      Banner(lines, L"Undoing the repair of " + fileName);
      backupMade = *undo.backup;
      // A request to stop waits until the file is either restored or put
      // back as the repair left it.
      const platform::TerminationDeferral deferral;
      result = UndoRepair(fileName, *suffix, left, beneath ? &*beneath : nullptr, lines);
    }
  } else if (arguments.size() < 2 || (arguments[0] != L"-check" && arguments[0] != L"-fix") ||
      !ReadOptions({arguments.begin() + 1, arguments.end() - 1}, beneath, resultChannel)) {
    PrintUsage(lines);
    result = InvalidArguments;
  } else {
    const std::wstring& fileName = arguments.back();
    Banner(lines, L"Checking " + fileName);
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
        if (result == Fixable && resultChannel) WriteRepairProof(plan, *resultChannel, lines);
      }
    }
  }
  lines.output(L"Final result: " + FinalMessage(result, fixed));
  // The scratch copy goes first, then the original's handle and its locks.
  plan.fixedCopy.reset();
  plan.original.reset();
  if (resultChannel && !servingChannel) {
    platform::WriteResultAndClose(
        *resultChannel, ResultRecord(result, backupMade ? std::optional<std::string>(platform::NameBytes(*backupMade))
                                                        : std::nullopt));
  }
  return {result, backupMade};
}

ResultCode RunBookmender(const std::vector<std::wstring>& arguments, const LineSink& sink) {
  return RunOne(arguments, sink, std::nullopt).code;
}

}  // namespace bookmender
