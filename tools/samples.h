// Sample workbooks: a worksheet with a picture and embedded charts, healthy
// or with the optimiser's damage, tagged or not, and the other kinds of
// ".xls" file a scan meets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "biff_builder.h"

namespace samples {

using testsupport::Bytes;

struct WorkbookKind {
  // Bytes moved from the sheet's drawing containers to each chart's (0: that
  // chart is exact); one chart per entry.
  std::vector<std::int64_t> moved = {0};
  bool tagged = true;
  bool password = false;  // a FILEPASS record in the globals
};

// A compound file holding the workbook.
Bytes MakeWorkbook(const WorkbookKind& kind);

// One file of the sample folder and the status labels a scan gives it.
struct Sample {
  std::string path;        // relative to the folder
  std::string checkLabel;  // e.g. "[fixable],"
  std::string fixLabel;    // e.g. "[fixed],"
};

// Writes the sample folder (made if missing) and returns the ".xls" files
// that a scan selects; other files of the folder are not listed.
std::vector<Sample> WriteSampleFolder(const std::string& folder);

// Writes `count` small untagged workbooks into sub-folders of 100 files each.
void WriteBenchTree(const std::string& folder, int count);

}  // namespace samples
