// Measures the surplus bytes that the optimiser left in each embedded chart's
// DgContainer and moves them back to the sheet's containers.
#pragma once

#include <cstdint>
#include <vector>

#include "drawing/LineSink.h"
#include "workbook/BiffRecordReader.h"
#include "workbook/WorkbookStream.h"

namespace bookmender {

// One entry per embedded chart of the sheet, in chart order: how many bytes
// the chart's DgContainer claims beyond its drawing data (0 for a chart
// without drawing data). Reads only.
std::vector<std::uint32_t> MeasureChartDiscrepancies(std::uint32_t sheetStartIndex,
                                                     const BiffRecordList& records,
                                                     WorkbookStream& stream,
                                                     const LineSink& lines = ConsoleLineSink());

// Shortens each listed chart's DgContainer and first SpgrContainer by its
// discrepancy, then lengthens the sheet's by the total.
void FixSheet(const BiffRecordList& records, WorkbookStream& stream, std::uint32_t sheetStartIndex,
              const std::vector<std::uint32_t>& discrepancies,
              const LineSink& lines = ConsoleLineSink());

// Adds `delta` to the length of the substream's DgContainer and of its first
// SpgrContainer, rewriting both headers in place.
void AdjustContainerLengths(WorkbookStream& stream, const BiffRecordList& records,
                            std::uint32_t startIndex, std::int32_t delta,
                            const LineSink& lines = ConsoleLineSink());

}  // namespace bookmender
