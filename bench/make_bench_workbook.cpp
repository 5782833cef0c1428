// Writes a large tagged workbook for the benchmarks: `records` filler records
// in the globals, then a worksheet with two embedded charts, damaged (bytes
// moved from the sheet's drawing containers to the charts') when asked.
//   make_bench_workbook PATH [records] [damaged: 0|1]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "charted_workbook.h"

using namespace testsupport;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_bench_workbook PATH [records] [damaged]\n");
    return 2;
  }
  const long records = argc > 2 ? std::atol(argv[2]) : 1300000;
  const bool damaged = argc > 3 && std::string(argv[3]) == "1";

  ChartedWorkbookRecipe recipe;
  const std::int64_t moved = damaged ? 12 : 0;
  recipe.moved = {moved, moved};
  recipe.fillers = records;
  const Bytes stream = BuildChartedWorkbook(recipe).stream;

  WorkbookFileOptions file;
  file.tagProperty = u"TMTAG";
  WriteFileBytes(argv[1], BuildWorkbookFile(stream, file));
  std::printf("%s: %zu-byte Workbook stream, %ld records, %s\n", argv[1], stream.size(), records + 4,
              damaged ? "damaged" : "healthy");
  return 0;
}
