#include "charted_workbook.h"

#include <numeric>

namespace testsupport {

namespace {

constexpr std::uint16_t kFilePass = 0x002F;
constexpr std::uint16_t kNumber = 0x0203;

}  // namespace

DrawingNode WithContainerLengthsMoved(DrawingNode dg, std::int64_t delta) {
  dg.lengthDelta += delta;
  dg.children.at(1).lengthDelta += delta;  // FDG first, then the group
  return dg;
}

ChartedWorkbook BuildChartedWorkbook(const ChartedWorkbookRecipe& recipe) {
  ChartedWorkbook workbook;
  ChartedSheetOptions options;
  for (const std::int64_t moved : recipe.moved) {
    options.chartDrawings.push_back(SerializeDrawing(WithContainerLengthsMoved(TypicalDrawing(1), moved)));
    workbook.chartDrawingSizes.push_back(static_cast<std::uint32_t>(options.chartDrawings.back().size()));
  }
  options.chartCut = recipe.chartCut;
  options.textBoxes = recipe.textBoxes;
  const std::int64_t total = std::accumulate(recipe.moved.begin(), recipe.moved.end(), std::int64_t{0});

  BiffBuilder builder;
  builder.bof(0x0005);
  if (recipe.password) builder.record(kFilePass, Bytes(54, 0));
  const Bytes number(14, 0x42);  // a NUMBER record's size
  for (long i = 0; i < recipe.fillers; ++i) builder.record(kNumber, number);
  builder.eof();
  const DrawingNode sheet = TypicalDrawing(static_cast<int>(recipe.moved.size()) + 1);
  workbook.layout = AppendChartedSheet(builder, WithContainerLengthsMoved(sheet, -total), options);
  workbook.stream = builder.bytes();
  return workbook;
}

Bytes BuildChartedWorkbookFile(const ChartedWorkbookRecipe& recipe, const WorkbookFileOptions& file) {
  return BuildWorkbookFile(BuildChartedWorkbook(recipe).stream, file);
}

Bytes DamagedWorkbookFile(long fillers) {
  ChartedWorkbookRecipe recipe;
  recipe.moved = {12, 12};
  recipe.fillers = fillers;
  WorkbookFileOptions file;
  file.tagProperty = u"TMTAG";
  return BuildChartedWorkbookFile(recipe, file);
}

}  // namespace testsupport
