#include "Shelfscan.h"

#include <exception>

#include <boost/filesystem/operations.hpp>

#include "ChildRun.h"
#include "FileList.h"
#include "FsPath.h"
#include "MainLog.h"
#include "NamePattern.h"
#include "Report.h"
#include "Runs.h"
#include "ScanOptions.h"
#include "Walk.h"
#include "platform/console.h"
#include "platform/text.h"

namespace shelfscan {

bool EnsureLogFolder(const std::wstring& folder) {
  const boost::filesystem::path path = ToFsPath(folder);
  boost::system::error_code testError;
  if (boost::filesystem::exists(path, testError)) return true;

  std::wstring reason = L"There was a problem trying to create the log folder.";
  try {
    // False without an error: a folder appeared meanwhile (another scan of
    // the same moment made it), which serves as well.
    boost::filesystem::create_directory(path);
    return true;
  } catch (const std::exception& error) {
    const std::wstring text = platform::DecodeSystemText(error.what());
    if (!text.empty()) reason = text;
  } catch (...) {
  }
  ReportScanError(folder, reason, false);
  return false;
}

int RunShelfscan(const std::vector<std::wstring>& arguments) {
  ScanOptions options = ParseArguments(arguments);
  if (options.roots.empty() && options.fileLists.empty()) {
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
      ReportScanError(L"-exclude:" + pattern, problem, false);
      return 1;
    }
  }
  std::vector<FileList> lists;
  for (const FileListOption& list : options.fileLists) {
    lists.emplace_back(list.path, list.nulSeparated);
    platform::Win32Error error = 0;
    if (!lists.back().open(error)) {
      // A list without a name is shown by its option.
      const std::wstring shown = !list.path.empty() ? list.path : list.nulSeparated ? L"-files0:" : L"-files:";
      ReportScanError(shown, L"Cannot read the file list: " + ListReadProblem(list.path, error), false);
      return 1;
    }
  }
  if (options.logFolder.empty()) options.logFolder = DefaultLogFolder();
  if (!EnsureLogFolder(options.logFolder)) {
    platform::WriteLine(platform::ConsoleStream::kOutput,
                        L"Could not create log folder at path:" + platform::SanitizeForLine(options.logFolder));
    return 1;
  }
  // The record is kept from the start or the scan does not start: the logs
  // are opened before the first Bookmender run.
  const std::wstring logPath = options.logFolder + BuildLogFileName();
  RunSettings settings;
  settings.logPath = logPath;
  settings.fixMode = options.fixMode;
  settings.detail = options.detailLog;
  settings.jobs = options.jobs;
  settings.report = !options.reportPath.empty();
  settings.timeoutSeconds = options.timeoutSeconds;
  // Gathered and appended a run at a time unless each child writes its own
  // output there, one at a time, as always.
  SetDetailGathered(settings.jobs > 1 || settings.report);
  if (!OpenMainLog(logPath) || (options.detailLog && !OpenDetailLog(logPath)) ||
      (settings.report && !OpenReport(options.reportPath))) {
    return 1;
  }
  FileRuns runs(settings);
  ScanRoots(options, lists, runs);
  runs.printSummary();
  return 0;
}

}  // namespace shelfscan
