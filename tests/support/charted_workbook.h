// Workbooks the optimiser damages: a worksheet with a picture and embedded
// charts, healthy or with the damage built in. The one recipe behind the
// generated workbooks of the end-to-end, crash-safety and mutation tests, the
// benchmarks and the sample folder.
#pragma once

#include <cstdint>
#include <vector>

#include "biff_builder.h"
#include "drawing_builder.h"
#include "workbook_file.h"

namespace testsupport {

// `dg` (a TypicalDrawing) with the stored lengths of its DgContainer and of
// its group moved by `delta`: the damage as one substream sees it.
DrawingNode WithContainerLengthsMoved(DrawingNode dg, std::int64_t delta);

struct ChartedWorkbookRecipe {
  // Bytes moved from the sheet's DgContainer and first SpgrContainer to each
  // chart's (0: that chart is exact); one chart per entry.
  std::vector<std::int64_t> moved = {0};
  long fillers = 0;       // NUMBER records in the globals, for a large stream
  bool password = false;  // a FILEPASS record in the globals
  std::uint32_t chartCut = 0;      // as ChartedSheetOptions says
  std::vector<TextBox> textBoxes;  // as ChartedSheetOptions says
};

struct ChartedWorkbook {
  Bytes stream;                                  // the Workbook stream
  ChartedSheet layout;                           // record numbers of the sheet's parts
  std::vector<std::uint32_t> chartDrawingSizes;  // bytes of drawing data per chart
};

// The globals, then the worksheet: its drawing is TypicalDrawing(charts + 1),
// each chart's TypicalDrawing(1), before the bytes are moved.
ChartedWorkbook BuildChartedWorkbook(const ChartedWorkbookRecipe& recipe);

// The same Workbook stream in a compound file.
Bytes BuildChartedWorkbookFile(const ChartedWorkbookRecipe& recipe, const WorkbookFileOptions& file);

// A tagged workbook whose globals hold `fillers` NUMBER records (18 bytes
// each) before a worksheet with two embedded charts, each of whose drawing
// containers claims 12 bytes that belong to the sheet's: the large damaged
// workbook of the tests that run the program while other things happen.
Bytes DamagedWorkbookFile(long fillers);

}  // namespace testsupport
