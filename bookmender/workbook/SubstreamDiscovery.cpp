#include "workbook/SubstreamDiscovery.h"

#include "errors/Exception.h"

namespace bookmender {

void SheetFinder::endSheet() {
  sheets_.push_back(SheetSubstream{sheetStart_, sheetSuspicious_, !sheetHasDrawing_});
}

std::vector<SheetSubstream> FindSheetSubstreams(const RecordIndex& records) {
  SheetFinder finder;
  std::uint32_t index = 0;
  records.forEachType([&finder, &index](std::uint16_t type) {
    if (SheetFinder::Matters(type)) finder.step(type, index);
    ++index;
  });
  return finder.take();
}

std::vector<std::uint32_t> FindSheetEmbeddedChartSubstreams(const RecordIndex& records,
                                                           std::uint32_t sheetBofIndex) {
  std::vector<std::uint32_t> charts;
  std::int64_t depth = 0;
  for (std::size_t i = sheetBofIndex;; ++i) {
    if (i >= records.size()) {
      throw Exception(MessageDetail(
          L"Unexpected end of file looking for EOF record in FindSheetEmbeddedChartSubstreams"));
    }
    const std::uint16_t type = records.typeAt(i);
    if (type == biff::kBof) {
      if (++depth == 2) charts.push_back(static_cast<std::uint32_t>(i));
    } else if (type == biff::kEof) {
      if (--depth == 0) return charts;
    }
  }
}

}  // namespace bookmender
