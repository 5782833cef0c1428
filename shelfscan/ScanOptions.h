// Shelfscan's command line, its help text and the name of the main log.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "platform/process.h"

namespace shelfscan {

// The platform's folder separator, added to "-l:" folders that lack one.
inline constexpr wchar_t kFolderSeparator = platform::kPreferredSeparator;

// A list of files to check, from "-files:" or "-files0:".
struct FileListOption {
  std::wstring path;        // as given; "-" is standard input
  bool nulSeparated;        // "-files0:": names end in NUL, else one per line
  std::size_t rootsBefore;  // search paths given before it: it is read after them
};

struct ScanOptions {
  bool fixMode = false;              // "-fix": Bookmender runs with "-fix", else "-check"
  bool modeGiven = false;            // "-check" or "-fix" was given
  std::wstring undoReport;           // "-undo:REPORT": the repairs of that report undone, none when empty
  bool resume = false;               // "-resume": the report given goes on, its files with a final outcome passed over
  bool detailLog = false;            // "-detail": gather every child's output
  std::wstring logFolder;            // from "-l:"; ends in the separator unless empty
  std::vector<std::wstring> roots;   // folders to search, in order, duplicates kept
  std::vector<FileListOption> fileLists;  // in order, duplicates kept
  std::vector<std::wstring> exclusions;   // "-exclude:" patterns
  bool anyCase = false;                   // "-anycase": ".xls" in any letter case
  int jobs = 1;                      // "-jobs:N": Bookmender runs at once ("-jobs:0": one per processor)
  std::wstring reportPath;           // "-report:FILE": the JSON Lines report, none when empty
  int timeoutSeconds = 0;            // "-timeout:SECONDS": a Bookmender run's time limit, 0 for none
  bool perFile = false;              // "-perfile": a Bookmender process of its own for each file
  std::vector<std::wstring> errors;  // one line for each option given a value it cannot have
};

// The most Bookmender runs "-jobs:" takes at once.
inline constexpr int kMostJobs = 256;
// The longest time limit "-timeout:" takes: a week, in seconds.
inline constexpr int kLongestTimeout = 7 * 24 * 3600;

// Reads the arguments (without the program name). Options are matched
// exactly and case-sensitively; anything else is a search path. "-jobs:",
// "-report:", "-timeout:" and "-undo:" are options whatever follows them: a
// value they cannot take is an error line in `errors`, as are "-resume"
// without "-report:", and "-undo:" with a mode, a search path or a list.
ScanOptions ParseArguments(const std::vector<std::wstring>& arguments);

// Linux: "Halvane/" in the user's home folder from the password database,
// which a changed HOME does not move. Windows: "c:\Halvane\".
std::wstring DefaultLogFolder();

// "2026-Dec-7-02-05-33.log" for 7 December 2026, 02:05:33.
std::wstring BuildLogFileName(const boost::posix_time::ptime& time);
// The same for the local time now, in whole seconds.
std::wstring BuildLogFileName();

// The help text, on standard output.
void PrintHelp();

}  // namespace shelfscan
