// Undoing the repairs of a report (-undo:REPORT): every entry labelled
// "fixed" becomes a Bookmender run with "-undo", below the folder searched
// the file was handed with, naming the backup and what the repair left.
#pragma once

#include <string>
#include <vector>

#include "Runs.h"

namespace shelfscan {

// One repair of the report: the run that undoes it, or why it cannot be
// undone (an entry without the proof of what the repair left).
struct UndoItem {
  FileToCheck file;
  std::wstring problem;  // empty: it can be undone
};

// Reads the report `path` (under the logs' rules, only read) and makes an
// item of each entry labelled "fixed", in order. False, after a console
// line naming the report and the reason, when it cannot be read or a line
// is no entry.
bool ReadUndoReport(const std::wstring& path, std::vector<UndoItem>& items);

// Hands each item that can be undone to `runs`; each other gets a scan
// error line in the log and, with a report, an entry labelled so. Then
// waits for every run and ends as ScanRoots does on a request to stop.
void UndoRepairs(const std::vector<UndoItem>& items, FileRuns& runs);

}  // namespace shelfscan
