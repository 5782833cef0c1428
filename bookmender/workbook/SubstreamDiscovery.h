// Sheets and the substreams nested in them, found by BOF/EOF nesting alone.
#pragma once

#include <cstdint>
#include <vector>

#include "workbook/BiffRecordReader.h"

namespace bookmender {

struct SheetSubstream {
  std::uint32_t bofIndex = 0;  // record number of the sheet's BOF
  bool suspicious = false;     // shows the damage pattern that is repaired
};

// Every top-level substream after the first (the workbook globals), with the
// sheets marked suspicious where a nested substream holding drawing records is
// followed directly by a drawing record of the sheet. Never throws.
std::vector<SheetSubstream> FindSheetSubstreams(const BiffRecordList& records);

// Record numbers of the BOF records nested directly in the sheet whose BOF is
// `sheetBofIndex`. Throws Exception when the list ends before the sheet's EOF.
std::vector<std::uint32_t> FindSheetEmbeddedChartSubstreams(const BiffRecordList& records,
                                                           std::uint32_t sheetBofIndex);

}  // namespace bookmender
