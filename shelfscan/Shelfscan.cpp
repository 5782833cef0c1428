#include "Shelfscan.h"

#include <algorithm>
#include <iterator>
#include <memory>

#include "ChildRun.h"
#include "FileList.h"
#include "MainLog.h"
#include "NamePattern.h"
#include "Report.h"
#include "ReportReader.h"
#include "Runs.h"
#include "ScanContext.h"
#include "ScanOptions.h"
#include "Undo.h"
#include "Walk.h"
#include "frontend/ResultCode.h"
#include "platform/console.h"
#include "platform/log_folder.h"
#include "platform/text.h"

namespace shelfscan {

namespace {

// Why an existing log folder is not used, as the end of one line.
std::wstring Refusal(const platform::LogFolderProblem& problem) {
  using platform::LogFolderFault;
  const std::wstring where = problem.where;
  switch (problem.fault) {
    case LogFolderFault::kNone:
    case LogFolderFault::kSystem: break;
#ifdef _WIN32
    case LogFolderFault::kLink: return L"it is a link (a reparse point).";
#else
    case LogFolderFault::kLink: return L"it is a symbolic link.";
#endif
    case LogFolderFault::kNotOwned: return L"it belongs to another user.";
    case LogFolderFault::kOpenToOthers: return L"other users may write to it.";
    case LogFolderFault::kPlaceNotOwned: return where + L" on the way to it belongs to another user.";
    case LogFolderFault::kPlaceOpenToOthers:
      return L"other users may write to " + where + L" on the way to it, which has no sticky bit.";
    case LogFolderFault::kLinkNotOwned:
      return L"the symbolic link " + where + L" on the way to it belongs to another user.";
  }
  return std::wstring();
}

// The results only an undo gives: a report holding one is an undo's.
constexpr int kUndoResults[] = {bookmender::Restored, bookmender::ChangedSinceRepair, bookmender::BackupMissing,
                                bookmender::BackupChanged, bookmender::RestoreFailed};

// Resuming: reads the report the scan goes on with, refusing one of another
// mode, and notes every file it has a final outcome for. False after a
// console line naming the report and the reason.
bool ReadResumedReport(const std::wstring& path, const RunSettings& settings, ScanContext& scan) {
  const std::wstring fixable = kStatusWords[StatusOf(bookmender::Fixable, false)];
  const std::wstring fixed = kStatusWords[StatusOf(bookmender::Fixable, true)];
  std::wstring otherMode;
  std::wstring problem;
  const bool read = ReadReport(
      scan.report.file(),
      [&](ReportEntry&& entry) {
        const bool undoLabel = std::any_of(std::begin(kUndoResults), std::end(kUndoResults), [&entry](int code) {
          return entry.label == kStatusWords[StatusOf(code, false)];
        });
        if ((entry.label == fixable && (settings.fixMode || settings.undoMode)) ||
            (entry.label == fixed && !settings.fixMode) || (undoLabel && !settings.undoMode)) {
          otherMode = entry.label;
        }
        if (IsFinalLabel(entry.label)) scan.done.insert(std::move(entry.path));
      },
      problem);
  if (!read) {
    ReportScanError(path, L"Cannot resume the report: " + problem);
    return false;
  }
  if (!otherMode.empty()) {
    ReportScanError(path, L"Cannot resume the report: it is of another mode (an entry is labelled " + otherMode +
                              L"); -resume goes on with a report of the same mode.");
    return false;
  }
  return true;
}

}  // namespace

bool EnsureLogFolder(const std::wstring& folder) {
  platform::LogFolderProblem problem;
  if (platform::PrepareLogFolder(folder, problem)) return true;
  if (problem.fault != platform::LogFolderFault::kSystem) {
    ReportScanError(folder, L"The log folder is refused: " + Refusal(problem));
    return false;
  }
  const std::wstring reason =
      !problem.text.empty() ? problem.text : L"There was a problem trying to create the log folder.";
  ReportScanError(folder, reason);
  platform::WriteLine(platform::ConsoleStream::kOutput,
                      L"Could not create log folder at path:" + platform::SanitizeForLine(folder));
  return false;
}

int RunShelfscan(const std::vector<std::wstring>& arguments) {
  ScanOptions options = ParseArguments(arguments);
  if (options.undoReport.empty() && options.roots.empty() && options.fileLists.empty()) {
    PrintHelp();
    platform::WriteNarrowLine(platform::ConsoleStream::kOutput,
                              "Invalid parameters. Please provide at least one path to search.");
    return 1;
  }
  if (!options.errors.empty()) {
    for (const std::wstring& error : options.errors) {
      platform::WriteLine(platform::ConsoleStream::kOutput, platform::SanitizeForLine(error));
    }
    return 1;
  }
  // Before anything is made: without a Bookmender every file would fail.
  if (std::wstring problem; !BookmenderCanStart(problem)) {
    platform::WriteLine(platform::ConsoleStream::kOutput, platform::SanitizeForLine(problem));
    return 1;
  }
  // Patterns and lists are looked at before anything is made: a mistake in
  // them ends the run as a missing Bookmender does.
  for (const std::wstring& pattern : options.exclusions) {
    if (const std::wstring problem = PatternProblem(pattern); !problem.empty()) {
      ReportScanError(L"-exclude:" + pattern, problem);
      return 1;
    }
  }
  // The report to undo is read whole before anything is made: a line that
  // is no entry ends the run as a mistaken list does.
  std::vector<UndoItem> undo;
  if (!options.undoReport.empty() && !ReadUndoReport(options.undoReport, undo)) return 1;
  std::vector<FileList> lists;
  for (const FileListOption& list : options.fileLists) {
    lists.emplace_back(list.path, list.nulSeparated);
    platform::Win32Error error = 0;
    if (!lists.back().open(error)) {
      // A list without a name is shown by its option.
      const std::wstring shown = !list.path.empty() ? list.path : list.nulSeparated ? L"-files0:" : L"-files:";
      ReportScanError(shown, L"Cannot read the file list: " + ListReadProblem(list.path, error));
      return 1;
    }
  }
  if (options.logFolder.empty()) options.logFolder = DefaultLogFolder();
  // Checked, or made private, before any log is opened or file run.
  if (!EnsureLogFolder(options.logFolder)) return 1;
  // The record is kept from the start or the scan does not start: the logs
  // are opened before the first Bookmender run.
  const std::wstring logPath = options.logFolder + BuildLogFileName();
  RunSettings settings;
  settings.logPath = logPath;
  settings.fixMode = options.fixMode;
  settings.undoMode = !options.undoReport.empty();
  settings.detail = options.detailLog;
  settings.jobs = options.jobs;
  settings.report = !options.reportPath.empty();
  settings.timeoutSeconds = options.timeoutSeconds;
  settings.resident = !options.perFile;
  // Shared with the workers, which may outlive this function after a lost
  // line while their children run on.
  const auto context = std::make_shared<ScanContext>(settings);
  if (!context->log.open(logPath) || (options.detailLog && !context->detail.open(logPath)) ||
      (settings.report && !context->report.open(options.reportPath)) ||
      (options.resume && !ReadResumedReport(options.reportPath, settings, *context))) {
    return 1;
  }
  try {
    FileRuns runs(context);
    if (settings.undoMode) {
      UndoRepairs(undo, runs);
    } else {
      ScanRoots(options, lists, runs);
    }
    runs.printSummary();
  } catch (const LineLost&) {
    return kExitLineLost;
  } catch (const ScanInterrupted&) {
    // The caller ends the program as the request asked.
    return kExitInterrupted;
  }
  return 0;
}

}  // namespace shelfscan
