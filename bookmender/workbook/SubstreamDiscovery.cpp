#include "workbook/SubstreamDiscovery.h"

#include "errors/Exception.h"

namespace bookmender {

std::vector<SheetSubstream> FindSheetSubstreams(const BiffRecordList& records) {
  std::vector<SheetSubstream> sheets;
  std::int64_t depth = 0;
  bool chartHasDrawing = false;
  std::uint32_t sheetStart = 0;
  bool sheetSuspicious = false;
  bool previousWasEof = false;
  // Walked in order rather than by position: one step per entry, not a
  // block look-up.
  std::size_t i = 0;
  const BiffRecordList::const_iterator end = records.end();
  for (auto record = records.begin(); record != end; ++record, ++i) {
    const std::uint16_t type = record->type;
    if (type == biff::kBof) {
      ++depth;
      chartHasDrawing = false;
      if (depth == 1) {
        sheetStart = static_cast<std::uint32_t>(i);
        sheetSuspicious = false;
      }
    } else if (type == biff::kEof) {
      --depth;
      if (depth == 0 && sheetStart != 0) sheets.push_back(SheetSubstream{sheetStart, sheetSuspicious});
    } else if (type == biff::kMsoDrawing && depth == 2) {
      chartHasDrawing = true;
    } else if (type == biff::kMsoDrawing && depth == 1 && chartHasDrawing && previousWasEof) {
      sheetSuspicious = true;
    }
    previousWasEof = type == biff::kEof;
  }
  return sheets;
}

std::vector<std::uint32_t> FindSheetEmbeddedChartSubstreams(const BiffRecordList& records,
                                                           std::uint32_t sheetBofIndex) {
  std::vector<std::uint32_t> charts;
  std::int64_t depth = 0;
  for (std::size_t i = sheetBofIndex;; ++i) {
    if (i >= records.size()) {
      throw Exception(MessageDetail(
          L"Unexpected end of file looking for EOF record in FindSheetEmbeddedChartSubstreams"));
    }
    const std::uint16_t type = records[i].type;
    if (type == biff::kBof) {
      if (++depth == 2) charts.push_back(static_cast<std::uint32_t>(i));
    } else if (type == biff::kEof) {
      if (--depth == 0) return charts;
    }
  }
}

}  // namespace bookmender
