#include "damage.h"

#include "drawing/LineSink.h"
#include "drawing/OfficeDrawingStream.h"
#include "drawing/SizeDiscrepancy.h"
#include "platform/text.h"
#include "workbook/BiffRecordReader.h"
#include "workbook/SubstreamDiscovery.h"

namespace testsupport {

int DamageSuspiciousSheets(const std::string& path, std::uint32_t k) {
  using namespace bookmender;
  const LineSink quiet{[](const std::wstring&) {}, [](const std::wstring&) {}};
  WorkbookStream stream;
  stream.open(platform::DecodeNative(path), false);
  const BiffRecordList records = ReadBiffRecords(stream);
  int damaged = 0;
  for (const SheetSubstream& sheet : FindSheetSubstreams(records)) {
    if (!sheet.suspicious) continue;
    std::int32_t total = 0;
    for (const std::uint32_t chart : FindSheetEmbeddedChartSubstreams(records, sheet.bofIndex)) {
      OfficeDrawingStream drawing(records, stream);
      drawing.open(chart);
      if (drawing.atEnd()) continue;
      const auto moved = static_cast<std::int32_t>(6 * k);
      AdjustContainerLengths(stream, records, chart, moved, quiet);
      total += moved;
    }
    if (total == 0) continue;
    AdjustContainerLengths(stream, records, sheet.bofIndex, -total, quiet);
    ++damaged;
  }
  return damaged;
}

}  // namespace testsupport
