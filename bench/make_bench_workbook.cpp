// Writes a large tagged workbook for the benchmarks: `records` filler records
// in the globals, then a worksheet with two embedded charts, damaged (bytes
// moved from the sheet's drawing containers to the charts') when asked.
// Shaped "real", the records are spread as a spreadsheet program writes
// them instead: a small globals part, then the charted sheet, then three
// more worksheets of cell records from 6 to 100 bytes long with a few of
// the largest length among them. Shaped "sheet", it is laid out as another
// spreadsheet program writes one large table: a shared-string table with
// CONTINUE records in the globals, and after the charted sheet one sheet of
// rows, each a ROW record (16 bytes), ten MULRK (18) and ten LABELSST (10).
//   make_bench_workbook PATH [records] [damaged: 0|1] [shape: synthetic|real|sheet]
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
  const std::string shape = argc > 4 ? argv[4] : "synthetic";
  const bool real = shape == "real";
  const bool table = shape == "sheet";

  ChartedWorkbookRecipe recipe;
  const std::int64_t moved = damaged ? 12 : 0;
  recipe.moved = {moved, moved};
  recipe.fillers = real ? 1000 : table ? 0 : records;
  Bytes stream = BuildChartedWorkbook(recipe).stream;
  if (table) {
    // The shared strings go at the end of the globals, before their EOF.
    std::size_t at = 0;
    while (at + 4 <= stream.size()) {
      const unsigned type = stream[at] | stream[at + 1] << 8;
      const std::size_t length = stream[at + 2] | stream[at + 3] << 8;
      if (type == 0x000A) break;
      at += 4 + length;
    }
    BiffBuilder strings;
    strings.record(0x00FC, Bytes(8224, 0x41));  // SST
    for (int i = 0; i < 60; ++i) strings.record(0x003C, Bytes(8224, static_cast<std::uint8_t>(i)));  // CONTINUE
    stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(at), strings.bytes().begin(), strings.bytes().end());
    BiffBuilder rows;
    rows.bof();
    for (long row = 0; row < records / 21; ++row) {
      rows.record(0x0208, Bytes(16, static_cast<std::uint8_t>(row)));  // ROW
      for (int cell = 0; cell < 10; ++cell) {
        rows.record(0x00BD, Bytes(18, static_cast<std::uint8_t>(cell)));  // MULRK
        rows.record(0x00FD, Bytes(10, static_cast<std::uint8_t>(cell)));  // LABELSST
      }
    }
    rows.eof();
    stream.insert(stream.end(), rows.bytes().begin(), rows.bytes().end());
  }
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
              records + 4, damaged ? "damaged" : "healthy", shape.c_str());
  return 0;
}
