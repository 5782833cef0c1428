// Measures the surplus bytes that the optimiser left in each embedded chart's
// DgContainer and moves them back to the sheet's containers.
#pragma once

#include <cstdint>
#include <vector>

#include "drawing/LineSink.h"
#include "drawing/Rules.h"
#include "workbook/RecordIndex.h"
#include "workbook/WorkbookStream.h"

namespace bookmender {

// One entry per embedded chart of the sheet, in chart order: how many bytes
// the chart's DgContainer claims beyond its drawing data (0 for a chart
// without drawing data). Reads only.
std::vector<std::uint32_t> MeasureChartDiscrepancies(std::uint32_t sheetStartIndex,
                                                     const RecordIndex& records,
                                                     WorkbookStream& stream,
                                                     const LineSink& lines = ConsoleLineSink());

// The edits that shorten each listed chart's DgContainer and first
// SpgrContainer by its discrepancy, then lengthen the sheet's by the total.
RepairPlan PlanSheetFix(const RecordIndex& records, std::uint32_t sheetStartIndex,
                        const std::vector<std::uint32_t>& discrepancies);

// Makes those edits.
void FixSheet(const RecordIndex& records, WorkbookStream& stream, std::uint32_t sheetStartIndex,
              const std::vector<std::uint32_t>& discrepancies,
              const LineSink& lines = ConsoleLineSink());

// Adds `delta` to the length of the substream's DgContainer and of its first
// SpgrContainer, rewriting both headers in place.
void AdjustContainerLengths(WorkbookStream& stream, const RecordIndex& records,
                            std::uint32_t startIndex, std::int32_t delta,
                            const LineSink& lines = ConsoleLineSink());

// The optimiser's damage: a suspicious sheet whose charts' DgContainers claim
// bytes that belong to the sheet's. Reads the suspicious sheets' records.
class ChartSizeRule : public SheetRule {
 public:
  const wchar_t* name() const override { return L"chart size discrepancy"; }
  RecordNeeds needs() const override { return RecordNeeds::kSuspiciousSheets; }
  // The discrepancies, one per chart; a repair when any is not zero.
  Finding check(const SheetSubstream& sheet, const RuleInput& in) const override;
  RepairPlan plan(const SheetSubstream& sheet, const Finding& finding, const RecordIndex& records) const override;
};

}  // namespace bookmender
