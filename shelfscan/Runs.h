// The Bookmender runs of a scan: handed over by the walk one file at a time,
// run one at a time or several at once, their results logged, reported and
// counted for the progress line and the summary.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <memory>

#include "MainLog.h"
#include "Status.h"
#include "frontend/ResultRecord.h"
#include "platform/beneath.h"
#include "platform/process.h"

namespace shelfscan {

// How many files of each status, in the order of kStatusWords.
struct LabelCounts {
  std::array<std::uint64_t, kStatusWords.size()> byLabel{};

  std::uint64_t done() const;
  std::uint64_t of(Status status) const { return byLabel[status]; }
  // Files with any other status than ok, fixable, fixed and restored, the
  // files whose run failed among them.
  std::uint64_t failed() const;
};

// The files whose runs have ended, counted by status. Safe from several
// threads.
class Tally {
 public:
  void add(Status status);
  LabelCounts counts() const;

 private:
  std::array<std::atomic<std::uint64_t>, kStatusWords.size()> counts_{};
};

// "1234 files, 85.2 files/s, 12 fixable, 0 fixed, 3 failed": the progress line.
std::wstring StatusText(const LabelCounts& counts, double seconds);

// The summary: "N files checked in T s", then "  [label] count" for every
// label that occurred, then "N files passed over for the letter case of
// their extension" and "N files passed over as done in the report" unless
// there were none.
std::vector<std::wstring> SummaryLines(const LabelCounts& counts, double seconds, std::uint64_t passedOverForCase,
                                       std::uint64_t passedOverAsDone = 0);

// The progress line on standard error while a scan runs, redrawn four times
// a second, when standard error is a terminal; nothing otherwise, and
// nothing once `log` has stopped the scan.
class Progress {
 public:
  Progress(const Tally& tally, const MainLog& log, std::chrono::steady_clock::time_point start);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  bool shown() const { return thread_.joinable(); }
  // Takes the line away for good.
  void stop();

 private:
  void draw();

  const Tally& tally_;
  const MainLog& log_;
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// A file handed to Bookmender: its path, and the folder searched that it
// lies below with the identity it had when the walk or list met it, so that
// Bookmender reaches it there without following a link and opens only that
// file (its -beneath: and -identity: options). No root: a plain run.
struct FileToCheck {
  std::wstring path;
  std::optional<platform::Beneath> beneath;
  // For an undo: the backup a repair made and what the repair left, from
  // the report; Bookmender runs with "-undo" instead of the mode.
  struct Undo {
    std::wstring backup;
    bookmender::RepairProof proof;
  };
  std::optional<Undo> undo;
};

// Bookmender's arguments for `file` in the chosen mode (or its undo), with
// "-result:" naming `resultChannel` unless it is empty.
std::vector<platform::ChildArgument> BookmenderArguments(const FileToCheck& file, bool fixMode,
                                                         const std::wstring& resultChannel = std::wstring());

struct RunSettings {
  std::wstring logPath;  // the main log; the detail log lies beside it
  bool fixMode = false;
  bool undoMode = false;  // the files are a report's repairs, undone
  bool detail = false;
  int jobs = 1;          // Bookmender runs at once
  bool report = false;   // each result also goes to the report (Report.h)
  int timeoutSeconds = 0;  // a run's time limit, 0 for none
  // Files go to resident Bookmenders (Resident.h), one per job, instead of
  // a process of their own each.
  bool resident = true;
};

struct ScanContext;
class ResidentBookmender;

// Hands the walk's files to Bookmender. With one job and no report each file
// is run as it is handed over, its output going straight to the detail log
// or nowhere. Otherwise a child whose output is read (the detail log) writes
// into a private scratch file of its own, which is appended to the detail log
// in one piece; any other child's output goes to the null device. A report in
// fix mode learns each backup's name from the run's result record, through a
// pipe made for that run (platform/child_result.h). With more jobs, worker
// threads run up to that many children at once while the walk goes on, and
// lines come in the order the runs end. A request to stop
// (platform/termination.h) starts no further run.
//
// A lost line (MainLog::stopForLostLine) on any thread stops every run from
// being started or recorded, and LineLost reaches the walk's thread at its
// next hand-off or finish(). The workers then still waiting for their
// children are left to it: they hold what they use, record nothing and end
// with the program.
class FileRuns {
 public:
  explicit FileRuns(std::shared_ptr<ScanContext> context);
  ~FileRuns();
  FileRuns(const FileRuns&) = delete;
  FileRuns& operator=(const FileRuns&) = delete;

  ScanContext& context() const { return *context_; }

  // The walk's hand-off: runs `file` now, or once a worker is free (the walk
  // waits while every worker has a file and one waits). Does nothing after
  // a request to stop.
  void run(const FileToCheck& file);
  // Waits until every run handed over has ended and its line is written
  // (after a request to stop, only the runs under way), and takes the
  // progress line away.
  void finish();

  // The file whose line was written last: the one a scan names when it is
  // interrupted. Empty before the first.
  std::wstring lastLogged() const;
  // The summary's lines for the scan so far.
  std::vector<std::wstring> summary() const;
  // Writes them on standard output, wherever it goes: a script reads the
  // counts there as a user does on a terminal.
  void printSummary() const;

  // Files the walk passed over only for the letter case of their extension,
  // for the summary.
  std::uint64_t filesPassedOverForCase = 0;
  // Files passed over because the report resumed already has their final
  // outcome (ScanContext::done).
  std::uint64_t filesPassedOverAsDone = 0;

 private:
  struct Shared;
  static void Work(const std::shared_ptr<Shared>& shared);
  // One file from start to end: the run, its lines, its count.
  static void RunAndRecord(Shared& shared, const FileToCheck& file, ResidentBookmender* resident);
  // Closes the hand-off and waits for the workers (not for the children of
  // a stopped scan); true when they have all ended.
  bool closeAndWait();

  std::shared_ptr<ScanContext> context_;
  std::shared_ptr<Shared> shared_;
  std::vector<std::thread> workers_;
};

}  // namespace shelfscan
