#include "Runs.h"

#include <cstdio>
#include <cwchar>
#include <deque>
#include <optional>
#include <system_error>

#include "ChildRun.h"
#include "MainLog.h"
#include "Report.h"
#include "Resident.h"
#include "ScanContext.h"
#include "frontend/ResultCode.h"
#include "frontend/ResultRecord.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/termination.h"
#include "platform/text.h"

namespace shelfscan {

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::wstring Decimal(double value) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%.1f", value);
  return text;
}

std::wstring Files(std::uint64_t n) { return std::to_wstring(n) + (n == 1 ? L" file" : L" files"); }

}  // namespace

std::uint64_t LabelCounts::done() const {
  std::uint64_t sum = 0;
  for (const std::uint64_t n : byLabel) sum += n;
  return sum;
}

std::uint64_t LabelCounts::failed() const {
  return done() - of(StatusOf(bookmender::NoProblems, false)) - of(StatusOf(bookmender::Fixable, false)) -
         of(StatusOf(bookmender::Fixable, true)) - of(StatusOf(bookmender::Restored, false));
}

void Tally::add(Status status) { counts_[status].fetch_add(1, std::memory_order_relaxed); }

LabelCounts Tally::counts() const {
  LabelCounts counts;
  for (std::size_t i = 0; i < counts_.size(); ++i) counts.byLabel[i] = counts_[i].load(std::memory_order_relaxed);
  return counts;
}

std::wstring StatusText(const LabelCounts& counts, double seconds) {
  const std::uint64_t done = counts.done();
  // A rate over the first moments says little.
  const std::wstring rate = seconds >= 0.5 ? Decimal(static_cast<double>(done) / seconds) : L"-";
  return Files(done) + L", " + rate + L" files/s, " + std::to_wstring(counts.of(StatusOf(bookmender::Fixable, false))) +
         L" fixable, " + std::to_wstring(counts.of(StatusOf(bookmender::Fixable, true))) + L" fixed, " + std::to_wstring(counts.failed()) + L" failed";
}

std::vector<std::wstring> SummaryLines(const LabelCounts& counts, double seconds, std::uint64_t passedOverForCase,
                                       std::uint64_t passedOverAsDone) {
  std::vector<std::wstring> lines{Files(counts.done()) + L" checked in " + Decimal(seconds) + L" s"};
  for (Status status = 0; status < kStatusWords.size(); ++status) {
    if (counts.byLabel[status] != 0) {
      lines.push_back(L"  " + SummaryLabel(status) + L" " + std::to_wstring(counts.byLabel[status]));
    }
  }
  if (passedOverForCase != 0) {
    lines.push_back(Files(passedOverForCase) + L" passed over for the letter case of " +
                    (passedOverForCase == 1 ? L"its" : L"their") + L" extension");
  }
  if (passedOverAsDone != 0) lines.push_back(Files(passedOverAsDone) + L" passed over as done in the report");
  return lines;
}

Progress::Progress(const Tally& tally, const MainLog& log, std::chrono::steady_clock::time_point start)
    : tally_(tally), log_(log), start_(start) {
  if (!platform::IsTerminal(platform::ConsoleStream::kError)) return;
  try {
    thread_ = std::thread([this] { draw(); });
  } catch (const std::system_error&) {
    // No thread to spare: the scan goes on without its progress line.
  }
}

Progress::~Progress() { stop(); }

void Progress::stop() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  platform::ClearStatus();
}

void Progress::draw() {
  std::unique_lock<std::mutex> hold(mutex_);
  while (!wake_.wait_for(hold, std::chrono::milliseconds(250), [this] { return stopping_; })) {
    log_.unlessStopped([this] { platform::ShowStatus(StatusText(tally_.counts(), SecondsSince(start_))); });
  }
}

// What the walk's thread and the workers share. Held by every worker, so
// that one still waiting for its child when a stopped scan ends finds it
// there.
struct FileRuns::Shared {
  Shared(std::shared_ptr<ScanContext> scan, std::size_t jobs)
      : context(std::move(scan)),
        executable(BookmenderPath()),
        start(std::chrono::steady_clock::now()),
        jobs(jobs),
        progress(context->tally, context->log, start) {
    if (context->settings.resident) walkResident.emplace(context->settings.detail);
  }

  platform::ChildTimeLimit limit() const { return std::chrono::seconds(context->settings.timeoutSeconds); }
  bool stopped() const { return context->log.stopped(); }

  const std::shared_ptr<ScanContext> context;
  const std::wstring executable;
  const std::chrono::steady_clock::time_point start;
  std::size_t jobs;  // the workers started; 0: each run on the walk's thread

  // Results are written one file at a time, so that the last line written
  // and lastLogged agree.
  mutable std::mutex recording;
  std::wstring lastLogged;

  // The hand-off to the workers.
  std::mutex mutex;
  std::condition_variable work;   // a file is waiting, the end, or a stop
  std::condition_variable space;  // a file was taken, or a stop
  std::condition_variable done;   // a worker ended
  std::deque<FileToCheck> waiting;
  std::size_t workersLeft = 0;
  bool closed = false;

  Progress progress;
  // The resident Bookmender of the runs on the walk's thread.
  std::optional<ResidentBookmender> walkResident;
};

FileRuns::FileRuns(std::shared_ptr<ScanContext> context)
    : context_(context), shared_(std::make_shared<Shared>(std::move(context), 0)) {
  const int jobs = context_->settings.jobs;
  if (jobs > 1) {
    for (int i = 0; i < jobs; ++i) {
      try {
        workers_.emplace_back([shared = shared_] { Work(shared); });
      } catch (const std::system_error&) {
        // As many as the system gives; none: one run at a time here.
        break;
      }
      const std::lock_guard<std::mutex> hold(shared_->mutex);
      ++shared_->workersLeft;
    }
  }
  shared_->jobs = workers_.size();
}

bool FileRuns::closeAndWait() {
  Shared& s = *shared_;
  std::unique_lock<std::mutex> hold(s.mutex);
  s.closed = true;
  s.work.notify_all();
  s.done.wait(hold, [&s] { return s.workersLeft == 0 || s.stopped(); });
  return s.workersLeft == 0;
}

FileRuns::~FileRuns() {
  const bool ended = closeAndWait();
  for (std::thread& worker : workers_) {
    if (!worker.joinable()) continue;
    // Those still waiting for a child of a stopped scan are left to it.
    if (ended) {
      worker.join();
    } else {
      worker.detach();
    }
  }
  shared_->progress.stop();
}

std::vector<platform::ChildArgument> BookmenderArguments(const FileToCheck& file, bool fixMode,
                                                         const std::wstring& resultChannel) {
  std::vector<platform::ChildArgument> arguments{{file.undo ? L"-undo" : fixMode ? L"-fix" : L"-check", false}};
  if (file.beneath) {
    arguments.push_back({L"-beneath:" + file.beneath->root, true});
    if (file.beneath->identity) arguments.push_back({L"-identity:" + platform::FormatIdentity(*file.beneath->identity), false});
  }
  if (!resultChannel.empty()) arguments.push_back({L"-result:" + resultChannel, false});
  if (file.undo) {
    const bookmender::RepairProof& proof = file.undo->proof;
    arguments.push_back({L"-backup:" + file.undo->backup, true});
    arguments.push_back({L"-proof:" + platform::DecodeNative(proof.sha256) + L":" + std::to_wstring(proof.size) + L":" +
                             platform::DecodeNative(proof.backupSha256),
                         false});
  }
  arguments.push_back({file.path, true});
  return arguments;
}

namespace {

// A file Bookmender did not find where the walk met it: when its name now
// leads to another file than the one handed over (a link in its place or in
// a folder's on its way, or another file), the console and the log say so.
// A file simply gone needs no more than its line.
void SayIfSwapped(MainLog& log, const FileToCheck& file, Status status) {
  if (status != StatusOf(bookmender::FileNotFound, false) || !file.beneath || !file.beneath->identity) return;
  platform::FileIdentity now;
  platform::Win32Error error = 0;
  const bool other = platform::IdentityOf(file.path, now, error) && !(now == *file.beneath->identity);
  if (!other && !platform::LinkBelowRoot(file.beneath->root, file.path)) return;
  log.ReportWarning(file.path, L"The name led to another file when Bookmender came to it than when the walk found it "
                           L"(a link or another file was put in its place or a folder's on its way); it was not "
                           L"opened.");
}

// What the run's records (ResultRecord.h) tell when they are well formed:
// the backup, named by the last line of a run that ended by itself, for the
// exit code it ended with, or by the line written once the backup was made
// for a run ended from outside (a time limit, a signal); and what a repair
// left, only from a run that ended by itself. Nothing otherwise, as if
// nothing was named.
struct Recorded {
  std::optional<std::wstring> backup;
  std::optional<bookmender::RepairProof> proof;
};

Recorded RecordedResult(const std::string& bytes, const platform::ChildEnd& end) {
  if (!end.started) return {};
  bookmender::ResultRecords records;
  if (!bookmender::ParseResultRecords(bytes, records) || !records.backup) return {};
  const bool endedByItself = end.exited && !end.timedOut;
  if (endedByItself && (!records.code || *records.code != end.code)) return {};
  Recorded recorded;
  recorded.backup = platform::NameFromBytes(*records.backup);
  if (endedByItself) recorded.proof = records.proof;
  return recorded;
}

Recorded RecordedResult(const platform::ResultPipe& pipe, const platform::ChildEnd& end) {
  std::string bytes;
  platform::Win32Error error = 0;
  if (!end.started || !pipe.readWaiting(bytes, bookmender::kMostResultRecords + 1, error)) return {};
  return RecordedResult(bytes, end);
}

}  // namespace

void FileRuns::run(const FileToCheck& file) {
  Shared& s = *shared_;
  s.context->log.throwIfStopped();
  if (platform::StopRequested()) return;
  // Resuming: a file with its final outcome in the report is not run again.
  if (!s.context->done.empty() && s.context->done.count(file.path) != 0) {
    ++filesPassedOverAsDone;
    return;
  }
  if (s.jobs == 0) {
    RunAndRecord(s, file, s.walkResident ? &*s.walkResident : nullptr);
    return;
  }
  std::unique_lock<std::mutex> hold(s.mutex);
  s.space.wait(hold, [&s] { return s.waiting.size() < s.jobs || platform::StopRequested() || s.stopped(); });
  if (s.stopped()) throw LineLost();
  if (platform::StopRequested()) return;
  s.waiting.push_back(file);
  s.work.notify_one();
}

void FileRuns::Work(const std::shared_ptr<Shared>& shared) {
  Shared& s = *shared;
  std::optional<ResidentBookmender> resident;
  if (s.context->settings.resident) resident.emplace(s.context->settings.detail);
  try {
    std::unique_lock<std::mutex> hold(s.mutex);
    for (;;) {
      s.work.wait(hold, [&s] { return s.closed || !s.waiting.empty() || s.stopped(); });
      // After a request to stop, what waits is never started.
      if (platform::StopRequested() || s.stopped()) s.waiting.clear();
      if (s.waiting.empty()) {
        if (s.closed || s.stopped()) break;
        s.space.notify_all();
        continue;
      }
      const FileToCheck file = std::move(s.waiting.front());
      s.waiting.pop_front();
      s.context->running.add(file.path);
      s.space.notify_one();
      hold.unlock();
      RunAndRecord(s, file, resident ? &*resident : nullptr);
      hold.lock();
    }
  } catch (const LineLost&) {
    // Said on the console already; the walk's thread learns it below.
  }
  const std::lock_guard<std::mutex> hold(s.mutex);
  --s.workersLeft;
  s.done.notify_all();
  s.space.notify_all();
  s.work.notify_all();
}

void FileRuns::finish() {
  const bool ended = closeAndWait();
  if (ended) {
    for (std::thread& worker : workers_) {
      if (worker.joinable()) worker.join();
    }
  }
  shared_->progress.stop();
  context_->log.throwIfStopped();
}

void FileRuns::RunAndRecord(Shared& s, const FileToCheck& toCheck, ResidentBookmender* resident) {
  ScanContext& scan = *s.context;
  const RunSettings& settings = scan.settings;
  const std::wstring& file = toCheck.path;
  const auto started = std::chrono::steady_clock::now();
  // One at a time and without a report: as the walk has always run them.
  if (resident == nullptr && s.jobs == 0 && !settings.report) {
    const std::vector<platform::ChildArgument> arguments = BookmenderArguments(toCheck, settings.fixMode);
    const std::lock_guard<std::mutex> hold(s.recording);
    const Status status = RunBookmender(scan.log, settings.detail ? &scan.detail : nullptr, file, arguments,
                                        settings.fixMode, s.limit());
    SayIfSwapped(scan.log, toCheck, status);
    scan.tally.add(status);
    s.lastLogged = file;
    return;
  }

  const bool backups = settings.fixMode || settings.undoMode;
  std::optional<std::wstring> problem;
  platform::ChildEnd end;
  std::string bytes;
  Recorded recorded;
  if (resident != nullptr) {
    // A resident Bookmender always replies with its records; only a report
    // of repairs or undos reads them, as below.
    ResidentBookmender::Served served =
        resident->serve(s.executable, BookmenderArguments(toCheck, settings.fixMode), s.limit());
    end = served.end;
    problem = std::move(served.problem);
    bytes = std::move(served.output);
    if (served.outputLost) scan.log.ReportScanError(file, *served.outputLost, false);
    if (settings.report && backups && !problem) recorded = RecordedResult(served.records, end);
  } else {
    // Only a report of repairs or undos reads the record: the backup's name
    // and what a repair left. Without a pipe the run goes on, its result
    // logged and its backup not named.
    platform::ResultPipe pipe;
    platform::Win32Error error = 0;
    const bool piped = settings.report && backups && pipe.create(bookmender::kMostResultRecords, error);
    const std::vector<platform::ChildArgument> arguments =
        BookmenderArguments(toCheck, settings.fixMode, piped ? pipe.childName() : std::wstring());
    platform::ResultPipe* const result = piped ? &pipe : nullptr;

    // The output is gathered only for the detail log. Else it goes where a
    // run one at a time without a detail log sends it, the null device.
    platform::ScratchOutput output;
    if (!settings.detail) {
      end = platform::RunChild(s.executable, arguments, static_cast<const platform::LogFile*>(nullptr), s.limit(),
                               result);
    } else if (!output.create(error)) {
      problem = L"Cannot make a private temporary file for the output of Bookmender: " + SystemErrorText(error);
    } else {
      end = platform::RunChild(s.executable, arguments, output, s.limit(), result);
      if (!output.read(bytes, error)) {
        // The result stands; only what the child wrote is lost.
        scan.log.ReportScanError(file, L"Cannot read back the output of Bookmender: " + SystemErrorText(error),
                                 false);
        bytes.clear();
      }
      output.close();
    }
    if (piped && !problem) recorded = RecordedResult(pipe, end);
  }
  const double seconds = SecondsSince(started);

  const std::lock_guard<std::mutex> hold(s.recording);
  scan.log.throwIfStopped();
  // Its line is being written: a line lost now names it itself.
  scan.running.remove(file);
  Status status = kScanErrorStatus;
  if (problem) {
    scan.log.ReportScanError(file, *problem, true);
  } else {
    status = LogRunResult(scan.log, file, end, settings.fixMode);
    SayIfSwapped(scan.log, toCheck, status);
    if (settings.detail) scan.detail.append(bytes, file);
  }
  if (settings.report) {
    ReportEntry entry;
    entry.path = file;
    entry.label = kStatusWords[status];
    if (end.started && end.exited) entry.exit = end.code;
    if (end.started && !end.exited && end.code > 0) entry.signal = end.code;
    if (backups) entry.backup = recorded.backup;
    // Only a repair made proves what it left; an undo's report is no
    // repair to undo again.
    if (settings.fixMode && recorded.proof && status == StatusOf(bookmender::Fixable, true) && toCheck.beneath) {
      entry.root = toCheck.beneath->root;
      entry.proof = recorded.proof;
    }
    entry.seconds = seconds;
    scan.report.append(entry, scan.log);
  }
  scan.tally.add(status);
  s.lastLogged = file;
}

std::wstring FileRuns::lastLogged() const {
  const std::lock_guard<std::mutex> hold(shared_->recording);
  return shared_->lastLogged;
}

std::vector<std::wstring> FileRuns::summary() const {
  return SummaryLines(context_->tally.counts(), SecondsSince(shared_->start), filesPassedOverForCase,
                      filesPassedOverAsDone);
}

void FileRuns::printSummary() const {
  for (const std::wstring& line : summary()) platform::WriteLine(platform::ConsoleStream::kOutput, line);
}

}  // namespace shelfscan
