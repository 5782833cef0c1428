// The main log: its path, the writer that appends one line at a time, and the
// warning and scan error lines, which go to the console and the log; and the
// stop of a scan whose record would have a gap.
//
// The file is UTF-16LE with a byte-order mark at its start and CR LF line
// ends. Paths and messages are written unchanged except that undecodable
// bytes and control characters become U+FFFD, so one record stays one line.
#pragma once

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/log_file.h"

namespace shelfscan {

// How long a line waits for another writer (a second scan of the same
// second) to let go of the log.
inline constexpr std::chrono::seconds kLogLockWait{30};

// Shelfscan's exit code when a line could not be written to the main log:
// the scan stopped there.
inline constexpr int kExitLineLost = 2;

// Thrown, once the console has said so, when a line of the log or the report
// is lost, and by every later attempt to write or run anything: the scan
// unwinds to RunShelfscan, which ends it with kExitLineLost. No
// std::exception, so that no handler of a file system error takes it.
struct LineLost {};

// The files handed to Bookmender by worker threads whose lines are not
// written yet. Safe from several threads.
class RunningFiles {
 public:
  void add(const std::wstring& file);
  void remove(const std::wstring& file);
  std::vector<std::wstring> list() const;

 private:
  mutable std::mutex mutex_;
  std::multiset<std::wstring> files_;
};

// Why a log cannot be used, as one sentence.
std::wstring LogErrorText(const platform::LogError& error);
// The same for a plain system error.
std::wstring SystemErrorText(platform::Win32Error code);

// "[scan err],path,message" on standard output only, for what comes before
// there is a log.
void ReportScanError(const std::wstring& path, const std::wstring& message);
// "[scan err],path,Cannot open the log: reason" on the console.
void ReportUnusableLog(const std::wstring& path, const platform::LogError& error);

// One scan's main log. Safe from several threads: lines go in one at a time.
class MainLog {
 public:
  // The main log's full path, set once by open; empty until then, and no
  // line is written while it is empty.
  std::wstring CurrentLogPath;
  // The files a lost line names on the console as missing too; none when
  // null.
  const RunningFiles* FilesStillRunning = nullptr;

  // Opens `path` for the whole scan, creating it with its byte-order mark,
  // and makes it CurrentLogPath. A log that cannot be used (a link, another
  // user's file, no room, no access) is reported on the console only, with
  // its path and the reason, and false returned.
  bool open(const std::wstring& path);

  // Appends `text` (ending in a line feed), waiting for another writer's
  // lock up to kLogLockWait. A line that cannot be written whole is taken out
  // of the log again and the scan stopped (stopForLostLine). A log not opened
  // by open() is opened here under the same rules.
  void AppendLogLine(const std::wstring& text);
  // "[warning],path,message" on standard output and in the log.
  void ReportWarning(const std::wstring& path, const std::wstring& message);
  // "[scan err],path,message" on standard output, and in the log when
  // `toLog` is set.
  void ReportScanError(const std::wstring& path, const std::wstring& message, bool toLog);

  // The end of a scan whose record would have a gap from here on: the
  // console names the file `logPath` (the `what`: "log", "report"), the
  // reason and the line `text` that is not in it, then every file still
  // running, and LineLost is thrown. From then on nothing more is written:
  // every write and every check of stopped() throws LineLost.
  [[noreturn]] void stopForLostLine(const std::wstring& logPath, const wchar_t* what, const std::wstring& text,
                                    const platform::LogError& error);
  // Whether the scan has stopped so.
  bool stopped() const;
  // Throws LineLost once the scan has stopped.
  void throwIfStopped() const;
  // Runs `show` unless the scan has stopped, never while the stop is being
  // said: the progress line draws itself through this.
  template <typename Show>
  void unlessStopped(const Show& show) const {
    const std::lock_guard<std::mutex> hold(stopLock_);
    if (!stopped_) show();
  }

 private:
  bool openFile(const std::wstring& path, platform::LogError& error);
  [[noreturn]] void stopHeld(const std::wstring& logPath, const wchar_t* what, const std::wstring& text,
                const platform::LogError& error);

  platform::LogFile file_;
  std::mutex lineLock_;            // one line at a time
  mutable std::mutex stopLock_;    // the stop against the progress line
  bool stopped_ = false;           // under stopLock_
};

}  // namespace shelfscan
