// Writes a large tagged workbook for the benchmarks: `records` filler records
// in the globals, then a worksheet with two embedded charts, damaged (bytes
// moved from the sheet's drawing containers to the charts') when asked.
// Shaped "real", the records are spread as a spreadsheet program writes
// them instead: a small globals part, then the charted sheet, then three
// more worksheets of cell records from 6 to 100 bytes long with a few of
// the largest length among them.
//   make_bench_workbook PATH [records] [damaged: 0|1] [shape: synthetic|real]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "biff_builder.h"
#include "charted_workbook.h"

using namespace testsupport;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_bench_workbook PATH [records] [damaged]\n");
    return 2;
  }
  const long records = argc > 2 ? std::atol(argv[2]) : 1300000;
  const bool damaged = argc > 3 && std::string(argv[3]) == "1";
  const bool real = argc > 4 && std::string(argv[4]) == "real";

  ChartedWorkbookRecipe recipe;
  const std::int64_t moved = damaged ? 12 : 0;
  recipe.moved = {moved, moved};
  recipe.fillers = real ? 1000 : records;
  Bytes stream = BuildChartedWorkbook(recipe).stream;
  if (real) {
    // The charted workbook ends with its sheet's EOF; the further sheets
    // follow it, each from its BOF to its EOF.
    std::mt19937 random(42);
    BiffBuilder sheets;
    const long perSheet = (records - 1000) / 3;
    for (int sheet = 0; sheet < 3; ++sheet) {
      sheets.bof();
      for (long i = 0; i < perSheet; ++i) {
        const unsigned roll = random() % 100;
        std::size_t length = roll < 60 ? 10 : roll < 85 ? 14 : roll < 97 ? 6 + random() % 30 : 30 + random() % 70;
        if (i % 200000 == 199999) length = 8224;  // a picture's or a string table's full records
        const std::uint16_t type = length == 10 ? 0x00FD : length == 14 ? 0x0203 : 0x0208;
        sheets.record(type, Bytes(length, static_cast<std::uint8_t>(i)));
      }
      sheets.eof();
    }
    stream.insert(stream.end(), sheets.bytes().begin(), sheets.bytes().end());
  }

  WorkbookFileOptions file;
  file.tagProperty = u"TMTAG";
  WriteFileBytes(argv[1], BuildWorkbookFile(stream, file));
  std::printf("%s: %zu-byte Workbook stream, about %ld records, %s, %s shape\n", argv[1], stream.size(),
              records + 4, damaged ? "damaged" : "healthy", real ? "real" : "synthetic");
  return 0;
}
