// Writes a large tagged workbook for the benchmarks: `records` filler records
// in the globals, then a worksheet with two embedded charts, damaged (bytes
// moved from the sheet's drawing containers to the charts') when asked.
//   make_bench_workbook PATH [records] [damaged: 0|1]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "biff_builder.h"
#include "drawing_builder.h"
#include "workbook_file.h"

using namespace testsupport;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_bench_workbook PATH [records] [damaged]\n");
    return 2;
  }
  const long records = argc > 2 ? std::atol(argv[2]) : 1300000;
  const bool damaged = argc > 3 && std::string(argv[3]) == "1";

  BiffBuilder b;
  b.bof(0x0005);
  const Bytes number(14, 0x42);  // a NUMBER record's size
  for (long i = 0; i < records; ++i) b.record(0x0203, number);
  b.eof();

  const std::int64_t moved = damaged ? 12 : 0;
  DrawingNode chart = TypicalDrawing(1);
  chart.lengthDelta += moved;
  chart.children.at(1).lengthDelta += moved;
  DrawingNode sheet = TypicalDrawing(3);
  sheet.lengthDelta -= 2 * moved;
  sheet.children.at(1).lengthDelta -= 2 * moved;
  ChartedSheetOptions options;
  options.chartDrawings = {SerializeDrawing(chart), SerializeDrawing(chart)};
  BiffBuilder sheetPart;
  AppendGlobals(sheetPart);
  AppendChartedSheet(sheetPart, sheet, options);
  // Drop the second globals: the sheet follows the big globals directly.
  Bytes stream = b.bytes();
  const Bytes& rest = sheetPart.bytes();
  const std::size_t globalsSize = 20 + 4;  // BOF with its 16 bytes, then EOF
  stream.insert(stream.end(), rest.begin() + globalsSize, rest.end());

  WorkbookFileOptions file;
  file.tagProperty = u"TMTAG";
  WriteFileBytes(argv[1], BuildWorkbookFile(stream, file));
  std::printf("%s: %zu-byte Workbook stream, %ld records, %s\n", argv[1], stream.size(), records + 4,
              damaged ? "damaged" : "healthy");
  return 0;
}
