#include "drawing/SizeDiscrepancy.h"

#include <algorithm>
#include <string>

#include "drawing/DrawingFormat.h"
#include "drawing/OfficeDrawingStream.h"
#include "errors/Exception.h"
#include "workbook/SubstreamDiscovery.h"

namespace bookmender {

std::vector<std::uint32_t> MeasureChartDiscrepancies(std::uint32_t sheetStartIndex,
                                                     const RecordIndex& records,
                                                     WorkbookStream& stream,
                                                     const LineSink& lines) {
  std::vector<std::uint32_t> discrepancies;
  for (const std::uint32_t chart : FindSheetEmbeddedChartSubstreams(records, sheetStartIndex)) {
    lines.output(L"Chart substream starts at " + std::to_wstring(static_cast<std::int32_t>(chart)));
    OfficeDrawingStream drawingStream(records, stream);
    drawingStream.open(chart);
    if (drawingStream.atEnd()) {
      discrepancies.push_back(0);
      continue;
    }

    OfficeDrawingRecordHeader header;
    drawingStream.readHeader(header);
    if (header.verInstance != drawing::kDgContainerVerInstance ||
        header.type != drawing::kDgContainer) {
      throw Exception(MessageDetail(L"First record in chart substream is not DgContainer"));
    }
    // The header was read whole, so the stream holds at least its 8 bytes.
    const std::uint32_t expected = drawingStream.size() - drawing::kHeaderSize;
    lines.output(L"Expected size: " + std::to_wstring(expected) +
                 L", Actual size: " + std::to_wstring(header.length));
    if (expected > header.length) {
      throw Exception(MessageDetail(L"Size discrepancy in the wrong direction"));
    }
    const std::uint32_t discrepancy = header.length - expected;
    discrepancies.push_back(discrepancy);
    lines.output(L"Size discrepancy for this substream: " + std::to_wstring(discrepancy));
    // The optimiser's damage comes in whole 6-byte steps; anything else is
    // not ours to repair.
    if (discrepancy % 6 != 0) {
      throw Exception(MessageDetail(L"Size discrepancy is not a multiple of 6 bytes"));
    }
  }
  return discrepancies;
}

RepairPlan PlanSheetFix(const RecordIndex& records, std::uint32_t sheetStartIndex,
                        const std::vector<std::uint32_t>& discrepancies) {
  RepairPlan plan;
  plan.heading = L"Fixing sheet at record " + std::to_wstring(static_cast<std::int32_t>(sheetStartIndex));
  const std::vector<std::uint32_t> charts = FindSheetEmbeddedChartSubstreams(records, sheetStartIndex);
  // Only ever used as a 32-bit length adjustment, which wraps by design.
  std::uint32_t total = 0;
  for (std::size_t i = 0; i < charts.size(); ++i) {
    // The list comes from MeasureChartDiscrepancies on the same sheet; a
    // chart it does not cover has nothing to move.
    const std::uint32_t discrepancy = i < discrepancies.size() ? discrepancies[i] : 0;
    if (discrepancy == 0) continue;
    const auto delta = static_cast<std::int32_t>(discrepancy);
    plan.edits.push_back(LengthEdit{
        L"Fixing substream " + std::to_wstring(i) + L" - size discrepancy is " + std::to_wstring(delta),
        charts[i], static_cast<std::int32_t>(0u - discrepancy)});
    total += discrepancy;
  }
  plan.edits.push_back(LengthEdit{L"Fixing sheet - size discrepancy is " + std::to_wstring(total),
                                  sheetStartIndex, static_cast<std::int32_t>(total)});
  return plan;
}

void FixSheet(const RecordIndex& records, WorkbookStream& stream, std::uint32_t sheetStartIndex,
              const std::vector<std::uint32_t>& discrepancies, const LineSink& lines) {
  ApplyRepair(PlanSheetFix(records, sheetStartIndex, discrepancies), records, stream, lines);
}

Finding ChartSizeRule::check(const SheetSubstream& sheet, const RuleInput& in) const {
  in.lines.output(L"Looking at suspicious sheet starting at " +
                  std::to_wstring(static_cast<std::int32_t>(sheet.bofIndex)));
  Finding finding;
  finding.amounts = MeasureChartDiscrepancies(sheet.bofIndex, in.records, in.stream, in.lines);
  finding.needsRepair = std::any_of(finding.amounts.begin(), finding.amounts.end(),
                                    [](std::uint32_t d) { return d != 0; });
  return finding;
}

RepairPlan ChartSizeRule::plan(const SheetSubstream& sheet, const Finding& finding,
                               const RecordIndex& records) const {
  return PlanSheetFix(records, sheet.bofIndex, finding.amounts);
}

void AdjustContainerLengths(WorkbookStream& stream, const RecordIndex& records,
                            std::uint32_t startIndex, std::int32_t delta, const LineSink& lines) {
  OfficeDrawingStream drawingStream(records, stream);
  drawingStream.open(startIndex);
  const std::uint32_t dgPosition = drawingStream.position();

  OfficeDrawingRecordHeader dg;
  drawingStream.readHeader(dg);
  if (dg.type != drawing::kDgContainer) {
    throw IOException(MessageDetail(L"First record in stream wasn't DgContainer"));
  }

  // Walk down into containers and over atoms until the first group. An atom
  // that carries the group type is no group (a real one is always a
  // container): its data is skipped like any other atom's.
  OfficeDrawingRecordHeader spgr;
  for (;;) {
    drawingStream.readHeader(spgr);
    if (spgr.isContainer()) {
      if (spgr.type == drawing::kSpgrContainer) break;
    } else {
      drawingStream.seek(spgr.length, SeekFromCurrent);
    }
  }
  const std::uint32_t spgrPosition = drawingStream.position() - drawing::kHeaderSize;

  // Lengths wrap at 32 bits on purpose: the adjustment is its exact inverse.
  const auto adjusted = [delta](std::uint32_t length) {
    return length + static_cast<std::uint32_t>(delta);
  };

  lines.output(L"Adjusting DgContainer at Workbook stream offset " +
               std::to_wstring(drawingStream.workbookStreamOffset(dgPosition)));
  dg.length = adjusted(dg.length);
  drawingStream.seek(dgPosition, SeekFromStart);
  drawingStream.writeHeader(dg);

  lines.output(L"Adjusting SpgrContainer at Workbook stream offset " +
               std::to_wstring(drawingStream.workbookStreamOffset(spgrPosition)));
  spgr.length = adjusted(spgr.length);
  drawingStream.seek(spgrPosition, SeekFromStart);
  drawingStream.writeHeader(spgr);
}

}  // namespace bookmender
