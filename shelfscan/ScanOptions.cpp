#include "ScanOptions.h"

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

#include <thread>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "platform/console.h"
#include "platform/text.h"

namespace shelfscan {

namespace {

// The processors the system offers, at least one.
int Processors() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n > static_cast<unsigned>(kMostJobs) ? kMostJobs : static_cast<int>(n);
}

// At most `digits` decimal digits (up to 9), `least` to `most`.
bool ParseCount(const std::wstring& value, std::size_t digits, int least, int most, int& out) {
  if (value.empty() || value.size() > digits) return false;
  int n = 0;
  for (const wchar_t c : value) {
    if (c < L'0' || c > L'9') return false;
    n = n * 10 + (c - L'0');
  }
  if (n < least || n > most) return false;
  out = n;
  return true;
}

// "-jobs:N": 0 for one per processor.
bool ParseJobs(const std::wstring& value, int& jobs) {
  int n = 0;
  if (!ParseCount(value, 4, 0, kMostJobs, n)) return false;
  jobs = n == 0 ? Processors() : n;
  return true;
}

}  // namespace

ScanOptions ParseArguments(const std::vector<std::wstring>& arguments) {
  static const std::wstring kLogFolderPrefix = L"-l:";
  static const std::wstring kFilesPrefix = L"-files:";
  static const std::wstring kFiles0Prefix = L"-files0:";
  static const std::wstring kExcludePrefix = L"-exclude:";
  const auto startsWith = [](const std::wstring& argument, const std::wstring& prefix) {
    return argument.compare(0, prefix.size(), prefix) == 0;
  };
  static const std::wstring kJobsPrefix = L"-jobs:";
  static const std::wstring kReportPrefix = L"-report:";
  static const std::wstring kTimeoutPrefix = L"-timeout:";
  static const std::wstring kUndoPrefix = L"-undo:";
  ScanOptions options;
  for (const std::wstring& argument : arguments) {
    if (argument == L"-fix") {
      options.fixMode = true;
      options.modeGiven = true;
    } else if (argument == L"-check") {
      options.fixMode = false;
      options.modeGiven = true;
    } else if (argument == L"-resume") {
      options.resume = true;
    } else if (startsWith(argument, kUndoPrefix)) {
      options.undoReport = argument.substr(kUndoPrefix.size());
      if (options.undoReport.empty()) {
        options.errors.push_back(L"Invalid parameter -undo: without a file name: -undo:REPORT names the report of the repairs to undo.");
      }
    } else if (argument == L"-perfile") {
      options.perFile = true;
    } else if (argument == L"-detail") {
      options.detailLog = true;
    } else if (argument.compare(0, kLogFolderPrefix.size(), kLogFolderPrefix) == 0) {
      options.logFolder = argument.substr(kLogFolderPrefix.size());
      if (!options.logFolder.empty() && options.logFolder.back() != kFolderSeparator) {
        options.logFolder += kFolderSeparator;
      }
    } else if (argument == L"-anycase") {
      options.anyCase = true;
    } else if (startsWith(argument, kFilesPrefix)) {
      options.fileLists.push_back({argument.substr(kFilesPrefix.size()), false, options.roots.size()});
    } else if (startsWith(argument, kFiles0Prefix)) {
      options.fileLists.push_back({argument.substr(kFiles0Prefix.size()), true, options.roots.size()});
    } else if (startsWith(argument, kExcludePrefix)) {
      options.exclusions.push_back(argument.substr(kExcludePrefix.size()));
    } else if (argument.compare(0, kJobsPrefix.size(), kJobsPrefix) == 0) {
      if (!ParseJobs(argument.substr(kJobsPrefix.size()), options.jobs)) {
        options.errors.push_back(L"Invalid parameter " + argument + L": -jobs: takes the number of Bookmender runs at once, 1 to " +
                                 std::to_wstring(kMostJobs) + L", or 0 for one per processor.");
      }
    } else if (startsWith(argument, kTimeoutPrefix)) {
      if (!ParseCount(argument.substr(kTimeoutPrefix.size()), 6, 1, kLongestTimeout, options.timeoutSeconds)) {
        options.errors.push_back(L"Invalid parameter " + argument +
                                 L": -timeout: takes the most seconds one Bookmender run may take, 1 to " +
                                 std::to_wstring(kLongestTimeout) + L".");
      }
    } else if (argument.compare(0, kReportPrefix.size(), kReportPrefix) == 0) {
      options.reportPath = argument.substr(kReportPrefix.size());
      if (options.reportPath.empty()) {
        options.errors.push_back(L"Invalid parameter -report: without a file name: -report:FILE names the report file.");
      }
    } else {
      options.roots.push_back(argument);
    }
  }
  if (options.resume && options.reportPath.empty()) {
    options.errors.push_back(L"Invalid parameter -resume without -report:FILE: it goes on with the report FILE.");
  }
  if (!options.undoReport.empty()) {
    if (options.modeGiven) {
      options.errors.push_back(L"Invalid parameters: -undo:REPORT takes neither -check nor -fix.");
      options.fixMode = false;
    }
    if (!options.roots.empty() || !options.fileLists.empty()) {
      options.errors.push_back(L"Invalid parameters: -undo:REPORT takes no search path or file list: the files are those the report names.");
    }
  }
  return options;
}

std::wstring DefaultLogFolder() {
#ifdef _WIN32
  return L"c:\\Halvane\\";
#else
  // A user without an entry (or without a home) gets the folder at the top of
  // the tree, where creating it fails visibly unless it is allowed.
  std::string home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) home = entry->pw_dir;
  if (home.empty() || home.back() != '/') home += '/';
  return platform::DecodeNative(home) + L"Halvane" + kFolderSeparator;
#endif
}

std::wstring BuildLogFileName(const boost::posix_time::ptime& time) {
  const boost::gregorian::date date = time.date();
  const boost::posix_time::time_duration clock = time.time_of_day();
  const auto twoDigits = [](long value) {
    return (value < 10 ? L"0" : L"") + std::to_wstring(value);
  };
  // The time of day is "02:05:33" with every colon turned into a hyphen.
  return std::to_wstring(static_cast<int>(date.year())) + L"-" +
         platform::DecodeNative(date.month().as_short_string()) + L"-" +
         std::to_wstring(static_cast<int>(date.day())) + L"-" + twoDigits(clock.hours()) + L"-" +
         twoDigits(clock.minutes()) + L"-" + twoDigits(clock.seconds()) + L".log";
}

std::wstring BuildLogFileName() {
  return BuildLogFileName(boost::posix_time::second_clock::local_time());
}

void PrintHelp() {
#ifdef _WIN32
  const char* const defaultLog = "C:\\Halvane\\<timestamp>.log";
  const char* const defaultFolder = "C:\\Halvane";
#else
  const char* const defaultLog = "~/Halvane/<timestamp>.log";
  const char* const defaultFolder = "~/Halvane";
#endif
  const std::string lines[] = {
      "This tool attempts to fix binary Excel (XLS) files optimized using Trimora  ",
      "5.1.3 or earlier where any images were cropped (excluding a right or bottom",
      "crop) and embedded charts existed on the same worksheet.",
      "",
      "The tool will recursively search the folders specified to look for XLS files to",
      "repair. It produces a log of the XLS files it encounters and for each, lists its",
      std::string("status. By default, the log is created at ") + defaultLog + ".",
      "However, the location of the log can be changed with the -l option (see below).",
      "",
      "For debugging purposes, the -detail option creates a detailed log file in the",
      "same directory as the main log file, containing more information about the",
      "repair process for each file.",
      "",
      "When an XLS file is repaired, a backup copy is created. The backup filename is",
      "the same as the original, but with \".bak\" appended to it. If a file with that",
      "name already exists, the backup will be named \".bak001\", \".bak002\", etc.",
      "",
      "After the options, the remaining arguments specified are assumed to be",
      "directories to be searched.",
      "",
      "Usage:",
      "  Shelfscan [-check|-fix] [-l:LogFolderName] [-detail] path1 [path2...]",
      "  Shelfscan -undo:Report [-l:LogFolderName] [-report:File] [-jobs:N]",
      "",
      "Options:",
      "  -check           : Check for XLS files that can be repaired (default).",
      "  -fix             : Repair XLS files where possible, creating backup copies.",
      std::string("  -l:LogFolderName : Create log file in LogFolderName (default ") + defaultFolder + ").",
      "  -detail          : Also create detailed log file.",
      "  -files:LIST      : Check the files named in LIST, one per line, whatever",
      "                     their extension (\"-\": standard input).",
      "  -files0:LIST     : The same, the names ended by NUL (as find -print0 writes).",
      "  -exclude:PATTERN : Neither check nor search files and folders whose name",
      "                     matches PATTERN (*, ?, [...]; any letter case). Repeatable.",
      "  -anycase         : Select \".xls\" in any letter case (\".XLS\", \".Xls\").",
      "  -jobs:N          : Run up to N Bookmender runs at once (default 1; 0: one",
      "                     per processor).",
      "  -report:File     : Also write a report of each file checked to File, as",
      "                     JSON Lines.",
      "  -timeout:Seconds : End a Bookmender run that takes longer (default: no",
      "                     limit); its file is logged as [timed out].",
      "  -perfile         : Start Bookmender once for each file instead of keeping",
      "                     one running per job to check file after file.",
      "  -resume          : Go on with the report of an earlier run of the same mode",
      "                     (-report:File): pass over every file it already has a",
      "                     final outcome for ([sharing violation], [timed out],",
      "                     [unexpected] and [scan err] are run again).",
      "  -undo:Report     : Put back the backup of every file Report says was",
      "                     [fixed], if the file is still what the repair left and",
      "                     the backup the one it made. No search paths. Each file",
      "                     is logged as [restored], [changed since repair],",
      "                     [backup missing], [backup changed] or [restore failed]",
      "                     (or [file not found], [access denied],",
      "                     [sharing violation]).",
      "",
  };
  for (const std::string& line : lines) platform::WriteNarrowLine(platform::ConsoleStream::kOutput, line);
}

}  // namespace shelfscan
