// The test support's damage, checked against workbooks built with the damage
// already in them: it must move exactly the bytes the optimiser moves, find
// only the sheets that show the pattern, and write nothing when it refuses.
#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "charted_workbook.h"
#include "damage.h"

namespace {

using testsupport::Bytes;
using testsupport::ChartedWorkbookRecipe;
using testsupport::DrawingNode;
using testsupport::TypicalDrawing;

Bytes TaggedFile(const Bytes& stream, int majorVersion = 3) {
  testsupport::WorkbookFileOptions options;
  options.majorVersion = majorVersion;
  options.tagProperty = u"TMTAG";
  return testsupport::BuildWorkbookFile(stream, options);
}

struct Outcome {
  int sheets = -1;  // -1: refused
  Bytes file;       // the file afterwards
};

Outcome Damage(const Bytes& file, std::uint32_t k) {
  testsupport::TempDir dir;
  const std::string path = dir.file("book.xls");
  testsupport::WriteFileBytes(path, file);
  Outcome outcome;
  try {
    outcome.sheets = testsupport::DamageSuspiciousSheets(path, k);
  } catch (const std::runtime_error&) {
    outcome.sheets = -1;
  }
  outcome.file = testsupport::ReadFileBytes(path);
  return outcome;
}

TEST(TestDamage, MovesWhatTheOptimiserMoves) {
  struct Case {
    const char* name;
    std::size_t charts;
    std::uint32_t k;
    std::uint32_t chartCut;
    bool textBoxes;
    int majorVersion;
  } cases[] = {
      {"OneChart", 1, 1, 0, false, 3},
      // The chart's DgContainer header 3 + 5 bytes across MSODRAWING and
      // CONTINUE; its length field cut 2 + 2; its group's header cut 3 + 5.
      {"DgHeaderCut", 3, 5, 3, false, 3},
      {"LengthFieldCut", 2, 2, 6, false, 3},
      {"GroupHeaderCutWithTextBoxes", 2, 1, 27, true, 4},
      // The sheet's lengths go below zero and wrap at 32 bits.
      {"SheetLengthsWrap", 2, 1000, 0, false, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChartedWorkbookRecipe recipe;
    recipe.chartCut = c.chartCut;
    if (c.textBoxes) {
      testsupport::TextBox text;
      text.characters = 300;
      text.maxRecordData = 200;
      recipe.textBoxes = {text, testsupport::TextBox{}};
    }
    recipe.moved.assign(c.charts, 0);
    const Bytes sound = TaggedFile(testsupport::BuildChartedWorkbook(recipe).stream, c.majorVersion);
    recipe.moved.assign(c.charts, 6 * std::int64_t{c.k});
    const Bytes damaged = TaggedFile(testsupport::BuildChartedWorkbook(recipe).stream, c.majorVersion);
    ASSERT_NE(sound, damaged);

    const Outcome outcome = Damage(sound, c.k);
    EXPECT_EQ(outcome.sheets, 1);
    EXPECT_EQ(outcome.file, damaged);
  }
}

// Globals, then one worksheet per entry: a picture shape, a chart with
// `chartDrawing` (none when empty), and the sheet's last shape after the
// chart's EOF, with an OBJ record before it when `objAfterChart`. With text
// boxes, the sheet's group header comes in a CONTINUE record after them.
struct SheetPlan {
  SheetPlan(Bytes chart, bool objAfter = false, std::int64_t movedOut = 0,
            std::vector<testsupport::TextBox> boxes = {})
      : chartDrawing(std::move(chart)), objAfterChart(objAfter), moved(movedOut), boxesBeforeGroup(std::move(boxes)) {}
  Bytes chartDrawing;
  bool objAfterChart;
  std::int64_t moved;  // bytes already taken from the sheet's containers
  std::vector<testsupport::TextBox> boxesBeforeGroup;
};
Bytes Workbook(const std::vector<SheetPlan>& sheets) {
  testsupport::BiffBuilder b;
  testsupport::AppendGlobals(b);
  for (const SheetPlan& plan : sheets) {
    std::vector<testsupport::DrawingRecordInfo> layout;
    const DrawingNode drawing = testsupport::WithContainerLengthsMoved(TypicalDrawing(2), plan.moved);
    const Bytes bytes = testsupport::SerializeDrawing(drawing, &layout);
    std::vector<testsupport::DrawingPiece> pieces;
    if (!plan.boxesBeforeGroup.empty()) {
      testsupport::DrawingPiece group;
      group.start = 24;  // after the DgContainer's header and the drawing atom
      group.before = [&plan](testsupport::BiffBuilder& builder) {
        testsupport::AppendObj(builder);
        for (const testsupport::TextBox& box : plan.boxesBeforeGroup) testsupport::AppendTextBox(builder, box);
      };
      pieces.push_back(group);
    }
    testsupport::DrawingPiece lastShape;
    lastShape.recordType = 0x00EC;
    for (const auto& info : layout) {
      if (info.depth == 2) lastShape.start = info.offset;
    }
    lastShape.before = [&plan](testsupport::BiffBuilder& builder) {
      testsupport::AppendObj(builder);
      builder.bof(0x0020);
      if (!plan.chartDrawing.empty()) testsupport::AppendDrawing(builder, plan.chartDrawing);
      builder.eof();
      if (plan.objAfterChart) testsupport::AppendObj(builder);
    };
    pieces.push_back(lastShape);
    b.bof();
    testsupport::AppendDrawing(b, bytes, pieces);
    b.eof();
  }
  return TaggedFile(b.bytes());
}

Bytes Chart(std::int64_t moved) {
  return testsupport::SerializeDrawing(testsupport::WithContainerLengthsMoved(TypicalDrawing(1), moved));
}

TEST(TestDamage, FindsOnlyTheSuspiciousSheets) {
  // Of three sheets, only the first and the last show the pattern.
  const Bytes sound = Workbook({{Chart(0)}, {Chart(0), true}, {Chart(0)}});
  const Bytes damaged = Workbook({{Chart(6), false, -6}, {Chart(0), true}, {Chart(6), false, -6}});
  const Outcome outcome = Damage(sound, 1);
  EXPECT_EQ(outcome.sheets, 2);
  EXPECT_EQ(outcome.file, damaged);

  // A chart without drawing data before the sheet's drawing.
  const Bytes undrawn = Workbook({{Bytes{}}});
  EXPECT_EQ(Damage(undrawn, 1).sheets, 0);
  EXPECT_EQ(Damage(undrawn, 1).file, undrawn);
}

TEST(TestDamage, FollowsTheDrawingPastTextBoxes) {
  // A text box's CONTINUE records (its text fragments, then its formatting
  // runs) are not drawing data; one without text has none, and the CONTINUE
  // after it is drawing data again.
  testsupport::TextBox longText;
  longText.characters = 500;
  longText.twoBytesPerCharacter = true;
  longText.maxRecordData = 300;
  longText.runBytes = 40;
  testsupport::TextBox empty;
  for (const auto& boxes : std::vector<std::vector<testsupport::TextBox>>{{longText}, {empty}, {longText, empty}}) {
    SCOPED_TRACE(boxes.size());
    const Outcome outcome = Damage(Workbook({{Chart(0), false, 0, boxes}}), 2);
    EXPECT_EQ(outcome.sheets, 1);
    EXPECT_EQ(outcome.file, Workbook({{Chart(12), false, -12, boxes}}));
  }
}

TEST(TestDamage, RefusesWithoutWritingAnything) {
  const DrawingNode spFirst = testsupport::Container(0xF004, {testsupport::Atom(0xF00A, 8)});
  const DrawingNode noGroup =
      testsupport::Container(0xF002, {testsupport::Atom(0xF008, 8), testsupport::Container(0xF004, {})});
  for (const DrawingNode& chart : {spFirst, noGroup}) {
    // The first sheet could be damaged; the second cannot, so neither is.
    const Bytes file = Workbook({{Chart(0)}, {testsupport::SerializeDrawing(chart)}});
    const Outcome outcome = Damage(file, 1);
    EXPECT_EQ(outcome.sheets, -1);
    EXPECT_EQ(outcome.file, file);
  }
  // Not a workbook at all.
  const Outcome foreign = Damage(Bytes(600, 'x'), 1);
  EXPECT_EQ(foreign.sheets, -1);
}

}  // namespace
