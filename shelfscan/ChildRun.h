// Running Bookmender on one file and turning its exit code into the file's
// status line in the main log.
#pragma once

#include <string>
#include <vector>

#include "MainLog.h"
#include "Status.h"
#include "platform/log_file.h"
#include "platform/process.h"

namespace shelfscan {

// "<own folder>/Bookmender" ("<own folder>\Bookmender.exe" on Windows):
// Bookmender is expected beside Shelfscan only. "" when the own folder
// cannot be read.
std::wstring BookmenderPath();
// Whether Bookmender is there and may be started by this user; else false
// with the one line that says why.
bool BookmenderCanStart(std::wstring& problem);
// The detail log beside the main log: its last ".log" becomes "_detail.log".
std::wstring DetailLogPath(const std::wstring& logPath);

// The detail log beside the main log, opened once for the whole scan under
// the main log's rules (never through a link, only a regular file of this
// user). `gathered`: each run's output is gathered and appended here a run at
// a time; else each child writes into the log itself.
class DetailLog {
 public:
  explicit DetailLog(bool gathered) : gathered_(gathered) {}

  // Opens the detail log beside `logPath`. False, after a console line
  // naming it and the reason, when it cannot be used.
  bool open(const std::wstring& logPath);
  // The log for a child to write into, opened here when open() was not
  // called; null when it cannot be used.
  const platform::LogFile* forChild(const std::wstring& logPath);
  // Appends one run's gathered output in one locked step. False, after a
  // console line naming the log, the reason and the file, when it cannot be
  // written.
  bool append(const std::string& output, const std::wstring& filePath);

 private:
  bool openFile(const std::wstring& path, platform::LogError& error);

  bool gathered_;
  platform::LogFile file_;
};

// Appends the label and the path as one line to the main log.
void LogFileResult(MainLog& log, const std::wstring& filePath, int exitCode, bool fixMode);

// Runs Bookmender with `arguments` (on `filePath`) within `limit`, its
// output appended to `detail` (when `detail` is given and can be used) or
// discarded, and logs the result: a status line, or a scan error line when
// the child could not be run to its end. Returns the line's status.
Status RunBookmender(MainLog& log, DetailLog* detail, const std::wstring& filePath,
                     const std::vector<platform::ChildArgument>& arguments, bool fixMode,
                     platform::ChildTimeLimit limit);

// Logs how a run ended: the status line, the line of a run that passed its
// time limit, or the scan error line of a run that failed. Returns the
// line's status.
Status LogRunResult(MainLog& log, const std::wstring& filePath, const platform::ChildEnd& end, bool fixMode);

}  // namespace shelfscan
