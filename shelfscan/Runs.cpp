#include "Runs.h"

#include <cstdio>
#include <cwchar>
#include <optional>
#include <system_error>

#include "ChildRun.h"
#include "MainLog.h"
#include "Report.h"
#include "frontend/ResultCode.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/termination.h"

namespace shelfscan {

namespace {

std::size_t LabelIndex(const std::wstring& label) {
  const std::wstring bare = !label.empty() && label.back() == L',' ? label.substr(0, label.size() - 1) : label;
  for (std::size_t i = 0; i < kSummaryLabels.size(); ++i) {
    if (bare == kSummaryLabels[i]) return i;
  }
  return kSummaryLabels.size();
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::wstring Decimal(double value) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%.1f", value);
  return text;
}

std::wstring SystemErrorText(platform::Win32Error code) {
  platform::LogError error;
  error.fault = platform::LogFault::kSystem;
  error.code = code;
  return LogErrorText(error);
}

std::wstring Files(std::uint64_t n) { return std::to_wstring(n) + (n == 1 ? L" file" : L" files"); }

// The scan currently using worker threads, for FilesStillRunning.
std::mutex activeLock;
FileRuns* active = nullptr;

}  // namespace

std::uint64_t LabelCounts::done() const {
  std::uint64_t sum = 0;
  for (const std::uint64_t n : byLabel) sum += n;
  return sum;
}

std::uint64_t LabelCounts::of(const wchar_t* label) const {
  const std::size_t i = LabelIndex(label);
  return i < byLabel.size() ? byLabel[i] : 0;
}

std::uint64_t LabelCounts::failed() const { return done() - of(L"[ok]") - of(L"[fixable]") - of(L"[fixed]"); }

void Tally::add(const std::wstring& label) {
  std::size_t i = LabelIndex(label);
  // Every label the runs log is in the list; anything else counts as a
  // failed run rather than going uncounted.
  if (i >= counts_.size()) i = counts_.size() - 1;
  counts_[i].fetch_add(1, std::memory_order_relaxed);
}

LabelCounts Tally::counts() const {
  LabelCounts counts;
  for (std::size_t i = 0; i < counts_.size(); ++i) counts.byLabel[i] = counts_[i].load(std::memory_order_relaxed);
  return counts;
}

std::wstring StatusText(const LabelCounts& counts, double seconds) {
  const std::uint64_t done = counts.done();
  // A rate over the first moments says little.
  const std::wstring rate = seconds >= 0.5 ? Decimal(static_cast<double>(done) / seconds) : L"-";
  return Files(done) + L", " + rate + L" files/s, " + std::to_wstring(counts.of(L"[fixable]")) + L" fixable, " +
         std::to_wstring(counts.of(L"[fixed]")) + L" fixed, " + std::to_wstring(counts.failed()) + L" failed";
}

std::vector<std::wstring> SummaryLines(const LabelCounts& counts, double seconds, std::uint64_t passedOverForCase) {
  std::vector<std::wstring> lines{Files(counts.done()) + L" checked in " + Decimal(seconds) + L" s"};
  for (std::size_t i = 0; i < kSummaryLabels.size(); ++i) {
    if (counts.byLabel[i] != 0) lines.push_back(std::wstring(L"  ") + kSummaryLabels[i] + L" " + std::to_wstring(counts.byLabel[i]));
  }
  if (passedOverForCase != 0) {
    lines.push_back(Files(passedOverForCase) + L" passed over for the letter case of " +
                    (passedOverForCase == 1 ? L"its" : L"their") + L" extension");
  }
  return lines;
}

Progress::Progress(const Tally& tally, std::chrono::steady_clock::time_point start) : tally_(tally), start_(start) {
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
    platform::ShowStatus(StatusText(tally_.counts(), SecondsSince(start_)));
  }
}

FileRuns::FileRuns(const RunSettings& settings)
    : settings_(settings),
      executable_(BookmenderPath()),
      start_(std::chrono::steady_clock::now()),
      progress_(tally_, start_) {
  if (settings_.jobs > 1) {
    for (int i = 0; i < settings_.jobs; ++i) {
      try {
        workers_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        // As many as the system gives; none: one run at a time here.
        break;
      }
    }
  }
  // While other threads run, a lost line must end the program without the
  // destructors of what they use.
  if (!workers_.empty() || progress_.shown()) {
    const std::lock_guard<std::mutex> hold(activeLock);
    active = this;
    FilesStillRunning = &FileRuns::Running;
  }
}

FileRuns::~FileRuns() {
  finish();
  const std::lock_guard<std::mutex> hold(activeLock);
  if (active == this) {
    active = nullptr;
    FilesStillRunning = nullptr;
  }
}

std::vector<std::wstring> FileRuns::Running() {
  const std::lock_guard<std::mutex> hold(activeLock);
  if (active == nullptr) return {};
  const std::lock_guard<std::mutex> running(active->mutex_);
  return std::vector<std::wstring>(active->running_.begin(), active->running_.end());
}

std::vector<platform::ChildArgument> BookmenderArguments(const FileToCheck& file, bool fixMode) {
  std::vector<platform::ChildArgument> arguments{{fixMode ? L"-fix" : L"-check", false}};
  if (file.beneath) {
    arguments.push_back({L"-beneath:" + file.beneath->root, true});
    if (file.beneath->identity) arguments.push_back({L"-identity:" + platform::FormatIdentity(*file.beneath->identity), false});
  }
  arguments.push_back({file.path, true});
  return arguments;
}

namespace {

// A file Bookmender did not find where the walk met it: when its name now
// leads to another file than the one handed over (a link in its place or in
// a folder's on its way, or another file), the console and the log say so.
// A file simply gone needs no more than its line.
void SayIfSwapped(const FileToCheck& file, const std::wstring& label) {
  if (label != StatusLabel(bookmender::FileNotFound, false) || !file.beneath || !file.beneath->identity) return;
  platform::FileIdentity now;
  platform::Win32Error error = 0;
  const bool other = platform::IdentityOf(file.path, now, error) && !(now == *file.beneath->identity);
  if (!other && !platform::LinkBelowRoot(file.beneath->root, file.path)) return;
  ReportWarning(file.path, L"The name led to another file when Bookmender came to it than when the walk found it "
                           L"(a link or another file was put in its place or a folder's on its way); it was not "
                           L"opened.");
}

}  // namespace

void FileRuns::run(const FileToCheck& file) {
  if (platform::StopRequested()) return;
  if (workers_.empty()) {
    runAndRecord(file);
    return;
  }
  std::unique_lock<std::mutex> hold(mutex_);
  space_.wait(hold, [this] { return waiting_.size() < workers_.size() || platform::StopRequested(); });
  if (platform::StopRequested()) return;
  waiting_.push_back(file);
  work_.notify_one();
}

void FileRuns::work() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    work_.wait(hold, [this] { return closed_ || !waiting_.empty(); });
    // After a request to stop, what waits is never started.
    if (platform::StopRequested()) waiting_.clear();
    if (waiting_.empty()) {
      if (closed_) return;
      space_.notify_all();
      continue;
    }
    const FileToCheck file = std::move(waiting_.front());
    waiting_.pop_front();
    running_.insert(file.path);
    space_.notify_one();
    hold.unlock();
    runAndRecord(file);
    hold.lock();
  }
}

void FileRuns::finish() {
  {
    const std::lock_guard<std::mutex> hold(mutex_);
    closed_ = true;
  }
  work_.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  progress_.stop();
}

void FileRuns::runAndRecord(const FileToCheck& toCheck) {
  const std::wstring& file = toCheck.path;
  const auto started = std::chrono::steady_clock::now();
  const std::vector<platform::ChildArgument> arguments = BookmenderArguments(toCheck, settings_.fixMode);
  // One at a time and without a report: as the walk has always run them.
  if (workers_.empty() && !settings_.report) {
    const std::lock_guard<std::mutex> hold(recording_);
    const wchar_t* const label =
        RunBookmender(file, arguments, settings_.logPath, settings_.detail, settings_.fixMode, limit());
    SayIfSwapped(toCheck, label);
    tally_.add(label);
    lastLogged_ = file;
    return;
  }

  // The output is gathered only when something reads it: the detail log,
  // or the report's backup name, which only a fix gives. Else it goes where
  // a run one at a time without a detail log sends it, the null device.
  const bool gather = settings_.detail || (settings_.report && settings_.fixMode);
  platform::ScratchOutput output;
  platform::Win32Error error = 0;
  std::optional<std::wstring> problem;
  platform::ChildEnd end;
  std::string bytes;
  if (!gather) {
    end = platform::RunChild(executable_, arguments, static_cast<const platform::LogFile*>(nullptr), limit());
  } else if (!output.create(error)) {
    problem = L"Cannot make a private temporary file for the output of Bookmender: " + SystemErrorText(error);
  } else {
    end = platform::RunChild(executable_, arguments, output, limit());
    if (!output.read(bytes, error)) {
      // The result stands; only what the child wrote is lost.
      ReportScanError(file, L"Cannot read back the output of Bookmender: " + SystemErrorText(error), false);
      bytes.clear();
    }
    output.close();
  }
  const double seconds = SecondsSince(started);

  const std::lock_guard<std::mutex> hold(recording_);
  {
    // Its line is being written: a line lost now names it itself.
    const std::lock_guard<std::mutex> waiting(mutex_);
    const auto mine = running_.find(file);
    if (mine != running_.end()) running_.erase(mine);
  }
  std::wstring label;
  if (problem) {
    ReportScanError(file, *problem, true);
    label = kScanErrorLabel;
  } else {
    label = LogRunResult(file, end, settings_.fixMode);
    SayIfSwapped(toCheck, label);
    if (settings_.detail) AppendDetail(bytes, file);
  }
  if (settings_.report) {
    ReportEntry entry;
    entry.path = file;
    entry.label = LabelWord(label);
    if (end.started && end.exited) entry.exit = end.code;
    if (end.started && !end.exited && end.code > 0) entry.signal = end.code;
    if (settings_.fixMode) entry.backup = BackupFromOutput(bytes, file);
    entry.seconds = seconds;
    AppendReport(entry);
  }
  tally_.add(label);
  lastLogged_ = file;
}

std::wstring FileRuns::lastLogged() const {
  const std::lock_guard<std::mutex> hold(recording_);
  return lastLogged_;
}

std::vector<std::wstring> FileRuns::summary() const {
  return SummaryLines(tally_.counts(), SecondsSince(start_), filesPassedOverForCase);
}

void FileRuns::printSummary() const {
  for (const std::wstring& line : summary()) platform::WriteLine(platform::ConsoleStream::kOutput, line);
}

}  // namespace shelfscan
