// The Bookmender runs of a scan: handed over by the walk one file at a time,
// run one at a time or several at once, their results logged, reported and
// counted for the progress line and the summary.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/beneath.h"
#include "platform/process.h"

namespace shelfscan {

// The labels in the order the summary lists them, without their commas; the
// last is the line of a file whose run failed.
inline constexpr std::array<const wchar_t*, 17> kSummaryLabels = {
    L"[ok]",           L"[fixable]",       L"[fixed]",          L"[broken]",
    L"[container problem]", L"[password]", L"[bad arguments]",  L"[file not found]",
    L"[access denied]", L"[sharing violation]", L"[not BIFF8 workbook]", L"[temp copy failed]",
    L"[copy back failed]", L"[backup failed]", L"[timed out]", L"[unexpected]", L"[scan err]"};

// How many files of each label, in the order of kSummaryLabels.
struct LabelCounts {
  std::array<std::uint64_t, kSummaryLabels.size()> byLabel{};

  std::uint64_t done() const;
  std::uint64_t of(const wchar_t* label) const;  // a label of kSummaryLabels
  // Files with any other label than [ok], [fixable] and [fixed], the files
  // whose run failed among them.
  std::uint64_t failed() const;
};

// The files whose runs have ended, counted by the labels of their lines.
// Safe from several threads.
class Tally {
 public:
  // `label` as logged, with or without its comma.
  void add(const std::wstring& label);
  LabelCounts counts() const;

 private:
  std::array<std::atomic<std::uint64_t>, kSummaryLabels.size()> counts_{};
};

// "1234 files, 85.2 files/s, 12 fixable, 0 fixed, 3 failed": the progress line.
std::wstring StatusText(const LabelCounts& counts, double seconds);

// The summary: "N files checked in T s", then "  [label] count" for every
// label that occurred, then "N files passed over for the letter case of
// their extension" unless there were none.
std::vector<std::wstring> SummaryLines(const LabelCounts& counts, double seconds, std::uint64_t passedOverForCase);

// The progress line on standard error while a scan runs, redrawn four times
// a second, when standard error is a terminal; nothing otherwise.
class Progress {
 public:
  Progress(const Tally& tally, std::chrono::steady_clock::time_point start);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  bool shown() const { return thread_.joinable(); }
  // Takes the line away for good.
  void stop();

 private:
  void draw();

  const Tally& tally_;
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
};

// Bookmender's arguments for `file` in the chosen mode.
std::vector<platform::ChildArgument> BookmenderArguments(const FileToCheck& file, bool fixMode);

struct RunSettings {
  std::wstring logPath;  // the main log; the detail log lies beside it
  bool fixMode = false;
  bool detail = false;
  int jobs = 1;          // Bookmender runs at once
  bool report = false;   // each result also goes to the report (Report.h)
  int timeoutSeconds = 0;  // a run's time limit, 0 for none
};

// Hands the walk's files to Bookmender. With one job and no report each file
// is run as it is handed over, its output going straight to the detail log
// or nowhere. Otherwise each child whose output is read (a detail log, or a
// report in fix mode, which names the backup) writes into a private scratch
// file of its own, which is read back for the backup's name and appended to
// the detail log in one piece; any other child's output goes to the null
// device. With more jobs, worker threads run up to that many children at
// once while the walk goes on, and lines come in the order the runs end. A
// request to stop (platform/termination.h) starts no further run.
class FileRuns {
 public:
  explicit FileRuns(const RunSettings& settings);
  ~FileRuns();
  FileRuns(const FileRuns&) = delete;
  FileRuns& operator=(const FileRuns&) = delete;

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
  const Tally& tally() const { return tally_; }
  // The summary's lines for the scan so far.
  std::vector<std::wstring> summary() const;
  // Writes them on standard output, wherever it goes: a script reads the
  // counts there as a user does on a terminal.
  void printSummary() const;

  // Files the walk passed over only for the letter case of their extension,
  // for the summary.
  std::uint64_t filesPassedOverForCase = 0;

 private:
  void work();
  // One file from start to end: the run, its lines, its count.
  void runAndRecord(const FileToCheck& file);
  static std::vector<std::wstring> Running();
  platform::ChildTimeLimit limit() const { return std::chrono::seconds(settings_.timeoutSeconds); }

  RunSettings settings_;
  std::wstring executable_;
  std::chrono::steady_clock::time_point start_;
  Tally tally_;
  // Results are written one file at a time, so that the last line written
  // and lastLogged_ agree.
  mutable std::mutex recording_;
  std::wstring lastLogged_;

  // The hand-off to the workers.
  std::mutex mutex_;
  std::condition_variable work_;   // a file is waiting, or the end
  std::condition_variable space_;  // a file was taken
  std::deque<FileToCheck> waiting_;
  std::multiset<std::wstring> running_;  // taken by a worker, line not yet being written
  bool closed_ = false;
  std::vector<std::thread> workers_;

  Progress progress_;
};

}  // namespace shelfscan
