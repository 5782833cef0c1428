// Measuring the surplus of embedded charts' DgContainers and moving it back
// to the sheet, down to the exact bytes and lines.
#include <functional>

#include "drawing/ContainerIntegrity.h"
#include "drawing/DrawingFormat.h"
#include "drawing/OfficeDrawingStream.h"
#include "drawing/SizeDiscrepancy.h"
#include "drawing_test_util.h"

namespace {

using bookmender::AdjustContainerLengths;
using bookmender::CheckAllContainers;
using bookmender::FixSheet;
using bookmender::MeasureChartDiscrepancies;
using drawingtest::Bytes;
using drawingtest::CapturedLines;
using drawingtest::OpenedWorkbook;
using testsupport::Atom;
using testsupport::BiffBuilder;
using testsupport::ChartedSheet;
using testsupport::Container;
using testsupport::DrawingNode;
using testsupport::SerializeDrawing;
using testsupport::TypicalDrawing;
using testsupport::WithLengthDelta;
namespace dr = bookmender::drawing;
using Lines = std::vector<std::wstring>;

std::wstring N(std::uint32_t n) { return std::to_wstring(n); }

// `tree` with its DgContainer and first SpgrContainer moved by `delta`.
DrawingNode Moved(DrawingNode tree, std::int64_t delta) {
  tree.lengthDelta += delta;
  std::vector<DrawingNode*> open{&tree};
  while (!open.empty()) {  // pre-order: the first group met is the first in the stream
    DrawingNode* node = open.back();
    open.pop_back();
    if (node != &tree && node->container && node->type == dr::kSpgrContainer) {
      node->lengthDelta += delta;
      break;
    }
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) open.push_back(&*it);
  }
  return tree;
}

struct Built {
  BiffBuilder builder;
  ChartedSheet sheet;
};
// Globals and one suspicious sheet with the given charts (empty: no drawing).
Built OneSheet(const DrawingNode& sheetDrawing, const std::vector<Bytes>& charts,
               std::uint32_t chartCut = 0, const std::vector<testsupport::TextBox>& boxes = {}) {
  Built built;
  testsupport::AppendGlobals(built.builder);
  testsupport::ChartedSheetOptions options;
  options.chartDrawings = charts;
  options.chartCut = chartCut;
  options.textBoxes = boxes;
  built.sheet = testsupport::AppendChartedSheet(built.builder, sheetDrawing, options);
  return built;
}

TEST(MeasureChartDiscrepancies, ExampleOf1000Bytes) {
  const DrawingNode chart = TypicalDrawing(1, 854);
  ASSERT_EQ(SerializeDrawing(chart).size(), 1000u);
  const Built b = OneSheet(TypicalDrawing(2), {SerializeDrawing(WithLengthDelta(chart, 6))});
  OpenedWorkbook wb(b.builder.bytes());
  CapturedLines lines;
  EXPECT_EQ(MeasureChartDiscrepancies(b.sheet.sheetBof, wb.records(), wb.stream(), lines.sink()),
            std::vector<std::uint32_t>{6});
  EXPECT_EQ(lines.output, (Lines{L"Chart substream starts at " + N(b.sheet.chartBofs[0]),
                                 L"Expected size: 992, Actual size: 998",
                                 L"Size discrepancy for this substream: 6"}));
}

TEST(MeasureChartDiscrepancies, ChartsWithoutDrawingMeasureZero) {
  const Built b = OneSheet(TypicalDrawing(3), {Bytes{}, Bytes{}});
  OpenedWorkbook wb(b.builder.bytes());
  CapturedLines lines;
  EXPECT_EQ(MeasureChartDiscrepancies(b.sheet.sheetBof, wb.records(), wb.stream(), lines.sink()),
            (std::vector<std::uint32_t>{0, 0}));
  EXPECT_EQ(lines.output, (Lines{L"Chart substream starts at " + N(b.sheet.chartBofs[0]),
                                 L"Chart substream starts at " + N(b.sheet.chartBofs[1])}));
}

TEST(MeasureChartDiscrepancies, RefusesWhatIsNotTheOptimisersDamage) {
  DrawingNode instanceOne = TypicalDrawing(1);
  instanceOne.verInstance = 0x001F;
  struct Case {
    const char* name;
    DrawingNode chart;
    Lines measureLines;  // after "Chart substream starts at "
    std::wstring message;
  } cases[] = {
      {"WrongDirection", WithLengthDelta(TypicalDrawing(1, 860), -6),
       {L"Expected size: 998, Actual size: 992"},
       L"General exception [Size discrepancy in the wrong direction]"},
      {"NotMultipleOfSix", WithLengthDelta(TypicalDrawing(1), 4),
       {L"Expected size: 156, Actual size: 160", L"Size discrepancy for this substream: 4"},
       L"General exception [Size discrepancy is not a multiple of 6 bytes]"},
      {"DgWithInstanceOne", instanceOne, {},
       L"General exception [First record in chart substream is not DgContainer]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Built b = OneSheet(TypicalDrawing(2), {SerializeDrawing(c.chart)});
    OpenedWorkbook wb(b.builder.bytes());
    CapturedLines lines;
    ExpectThrowMessage<bookmender::Exception>(
        [&] { MeasureChartDiscrepancies(b.sheet.sheetBof, wb.records(), wb.stream(), lines.sink()); },
        c.message);
    Lines expected{L"Chart substream starts at " + N(b.sheet.chartBofs[0])};
    expected.insert(expected.end(), c.measureLines.begin(), c.measureLines.end());
    EXPECT_EQ(lines.output, expected);
    EXPECT_EQ(wb.contents(), b.builder.bytes());  // nothing written
  }
}

// Two charts measuring 0 and 12, with every chart's DgContainer header cut
// 5 + 3 between MSODRAWING and CONTINUE, repaired through the rule: its
// finding, a plan that writes nothing, then the edits.
TEST(FixSheet, MovesTwelveBytesFromTheSecondChartToTheSheet) {
  const std::vector<Bytes> soundCharts = {SerializeDrawing(TypicalDrawing(1)),
                                          SerializeDrawing(TypicalDrawing(2))};
  const Built sound = OneSheet(TypicalDrawing(3), soundCharts, 5);
  const Built damaged = OneSheet(Moved(TypicalDrawing(3), -12),
                                 {soundCharts[0], SerializeDrawing(Moved(TypicalDrawing(2), 12))}, 5);
  OpenedWorkbook wb(damaged.builder.bytes());
  const ChartedSheet& s = damaged.sheet;
  const std::vector<bookmender::SheetSubstream> sheets = wb.sheets();
  ASSERT_EQ(sheets.size(), 1u);

  const bookmender::ChartSizeRule rule;
  ASSERT_TRUE(rule.covers(sheets[0]));
  CapturedLines lines;
  const bookmender::Finding finding = rule.check(sheets[0], {wb.records(), wb.stream(), lines.sink()});
  EXPECT_TRUE(finding.needsRepair);
  ASSERT_EQ(finding.amounts, (std::vector<std::uint32_t>{0, 12}));
  EXPECT_EQ(lines.output.front(), L"Looking at suspicious sheet starting at " + N(s.sheetBof));
  lines.output.clear();
  const bookmender::RepairPlan plan = rule.plan(sheets[0], finding, wb.records());
  ASSERT_EQ(plan.edits.size(), 2u);
  EXPECT_EQ(std::make_pair(plan.edits[0].substream, plan.edits[0].delta), std::make_pair(s.chartBofs[1], -12));
  EXPECT_EQ(std::make_pair(plan.edits[1].substream, plan.edits[1].delta), std::make_pair(s.sheetBof, 12));
  EXPECT_EQ(wb.contents(), damaged.builder.bytes());
  EXPECT_TRUE(lines.output.empty());
  bookmender::ApplyRepair(plan, wb.records(), wb.stream(), lines.sink());

  const auto at = [&](std::uint32_t record, std::uint32_t plus) {
    return N(damaged.builder.dataOffset(record) + plus);
  };
  const std::vector<std::uint32_t>& chart = s.chartDrawingRecords[1];
  EXPECT_EQ(lines.output,
            (Lines{L"Fixing sheet at record " + N(s.sheetBof),
                   L"Fixing substream 1 - size discrepancy is 12",
                   L"Adjusting DgContainer at Workbook stream offset " + at(chart[0], 0),
                   L"Adjusting SpgrContainer at Workbook stream offset " + at(chart[1], 24 - 5),
                   L"Fixing sheet - size discrepancy is 12",
                   L"Adjusting DgContainer at Workbook stream offset " + at(s.sheetDrawingRecords[0], 0),
                   L"Adjusting SpgrContainer at Workbook stream offset " +
                       at(s.sheetDrawingRecords[0], 24)}));
  EXPECT_EQ(wb.contents(), sound.builder.bytes());
  // FixSheet makes the same plan and applies it: another damaged copy ends alike.
  const Built again = OneSheet(Moved(TypicalDrawing(3), -12),
                               {soundCharts[0], SerializeDrawing(Moved(TypicalDrawing(2), 12))}, 5);
  OpenedWorkbook other(again.builder.bytes());
  FixSheet(other.records(), other.stream(), s.sheetBof, finding.amounts, CapturedLines().sink());
  EXPECT_EQ(other.contents(), sound.builder.bytes());
}

TEST(FixSheet, NothingToMoveRewritesTheSheetHeadersUnchanged) {
  const Built b = OneSheet(TypicalDrawing(2), {SerializeDrawing(TypicalDrawing(1))});
  OpenedWorkbook wb(b.builder.bytes());
  CapturedLines lines;
  FixSheet(wb.records(), wb.stream(), b.sheet.sheetBof, {0}, lines.sink());
  const std::uint32_t d = b.builder.dataOffset(b.sheet.sheetDrawingRecords[0]);
  EXPECT_EQ(lines.output, (Lines{L"Fixing sheet at record " + N(b.sheet.sheetBof),
                                 L"Fixing sheet - size discrepancy is 0",
                                 L"Adjusting DgContainer at Workbook stream offset " + N(d),
                                 L"Adjusting SpgrContainer at Workbook stream offset " + N(d + 24)}));
  EXPECT_EQ(wb.contents(), b.builder.bytes());
}

// Globals and a sheet whose drawing is one MSODRAWING (record 3).
Bytes SheetWithDrawing(const DrawingNode& tree) {
  BiffBuilder b;
  testsupport::AppendGlobals(b);
  b.bof();
  testsupport::AppendDrawing(b, SerializeDrawing(tree));
  b.eof();
  return b.bytes();
}
constexpr std::uint32_t kSheetBof = 2;

TEST(AdjustContainerLengths, FindsTheFirstGroupAndWrapsAt32Bits) {
  // An atom of the group's type is passed over; the real group is adjusted.
  const auto tree = [](std::int64_t delta) {
    DrawingNode spgr = Container(dr::kSpgrContainer, {Container(dr::kSpContainer, {Atom(dr::kFsp, 8)})});
    return Moved(Container(dr::kDgContainer, {Atom(dr::kFdg, 8), Atom(dr::kSpgrContainer, 6, 0), spgr}), delta);
  };
  OpenedWorkbook wb(SheetWithDrawing(tree(0)));
  CapturedLines lines;
  AdjustContainerLengths(wb.stream(), wb.records(), kSheetBof, 6, lines.sink());
  EXPECT_EQ(wb.contents(), SheetWithDrawing(tree(6)));
  ASSERT_EQ(lines.output.size(), 2u);
  EXPECT_EQ(lines.output[1], L"Adjusting SpgrContainer at Workbook stream offset " +
                                 N(wb.records()[3].dataOffset + 38));

  // Past zero and back.
  AdjustContainerLengths(wb.stream(), wb.records(), kSheetBof, -1000, lines.sink());
  EXPECT_EQ(wb.contents(), SheetWithDrawing(tree(-994)));
  AdjustContainerLengths(wb.stream(), wb.records(), kSheetBof, 994, lines.sink());
  EXPECT_EQ(wb.contents(), SheetWithDrawing(tree(0)));
}

TEST(AdjustContainerLengths, Failures) {
  const DrawingNode group = Container(dr::kSpgrContainer, {Container(dr::kSpContainer, {Atom(dr::kFsp, 8)})});
  struct Case {
    const char* name;
    DrawingNode tree;
    std::wstring message;
  } cases[] = {
      {"NotDgFirst", Container(dr::kSpContainer, {group}),
       L"I/O exception [First record in stream wasn't DgContainer]"},
      {"NoGroup", Container(dr::kDgContainer, {Atom(dr::kFdg, 8), Container(dr::kSpContainer, {})}),
       L"I/O exception [Attempt to read beyond end of OfficeDrawingStream]"},
      {"AtomLengthNearFourGiB",
       Container(dr::kDgContainer, {WithLengthDelta(Atom(dr::kFdg, 8), 0xFFFFFFF0), group}),
       L"I/O exception [Seek beyond end of OfficeDrawingStream]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes stream = SheetWithDrawing(c.tree);
    OpenedWorkbook wb(stream);
    CapturedLines lines;
    ExpectThrowMessage<bookmender::IOException>(
        [&] { AdjustContainerLengths(wb.stream(), wb.records(), kSheetBof, 6, lines.sink()); }, c.message);
    EXPECT_EQ(wb.contents(), stream);
  }
}

// Every container of a substream's drawing as (position, type, length),
// walked without trusting any container length.
struct Entry {
  std::uint32_t position, type, length;
  bool operator==(const Entry& o) const {
    return position == o.position && type == o.type && length == o.length;
  }
};
std::vector<Entry> Containers(OpenedWorkbook& wb, std::uint32_t start) {
  bookmender::OfficeDrawingStream s(wb.records(), wb.stream());
  s.open(start);
  std::vector<Entry> entries;
  while (!s.atEnd()) {
    bookmender::OfficeDrawingRecordHeader h;
    s.readHeader(h);
    if (h.isContainer()) {
      entries.push_back({s.position() - 8, h.type, h.length});
    } else {
      s.seek(h.length, bookmender::SeekFromCurrent);
    }
  }
  return entries;
}
// `before` with the DgContainer and the first SpgrContainer moved by `delta`.
std::vector<Entry> MovedEntries(std::vector<Entry> before, std::int64_t delta) {
  const auto move = [delta](Entry& e) {
    e.length = static_cast<std::uint32_t>(e.length + static_cast<std::uint64_t>(delta));
  };
  if (before.empty()) return before;
  move(before[0]);
  for (std::size_t i = 1; i < before.size(); ++i) {
    if (before[i].type == dr::kSpgrContainer) {
      move(before[i]);
      break;
    }
  }
  return before;
}

// Damages the sheet starting at `sheetBof` by moving 6 * ks[i] bytes into chart
// i (the inverse of the fix), then measures, fixes and compares. Returns
// false when the sheet had nothing to damage.
bool DamageMeasureFix(OpenedWorkbook& wb, std::uint32_t sheetBof, const Bytes* expectedDamage,
                      std::function<std::uint32_t(std::size_t)> k) {
  const auto charts = bookmender::FindSheetEmbeddedChartSubstreams(wb.records(), sheetBof);
  const Bytes original = wb.contents();
  const auto sheets = wb.sheets();
  CapturedLines lines;
  std::vector<std::uint32_t> expected;
  std::vector<std::vector<Entry>> before;
  std::uint32_t total = 0;
  for (std::size_t i = 0; i < charts.size(); ++i) {
    before.push_back(Containers(wb, charts[i]));
    expected.push_back(before.back().empty() ? 0 : 6 * k(i));
    total += expected.back();
  }
  before.push_back(Containers(wb, sheetBof));
  if (total == 0 || before.back().empty()) return false;

  EXPECT_TRUE(CheckAllContainers(wb.records(), sheets, wb.stream(), lines.sink()));
  for (std::size_t i = 0; i < charts.size(); ++i) {
    if (expected[i] == 0) continue;
    AdjustContainerLengths(wb.stream(), wb.records(), charts[i], static_cast<std::int32_t>(expected[i]),
                           lines.sink());
  }
  AdjustContainerLengths(wb.stream(), wb.records(), sheetBof, -static_cast<std::int32_t>(total), lines.sink());
  if (expectedDamage) {
    EXPECT_EQ(wb.contents(), *expectedDamage);
  }
  for (std::size_t i = 0; i < charts.size(); ++i) {
    EXPECT_EQ(Containers(wb, charts[i]), MovedEntries(before[i], expected[i])) << "chart " << i;
  }
  EXPECT_EQ(Containers(wb, sheetBof), MovedEntries(before.back(), -std::int64_t{total}));
  EXPECT_FALSE(CheckAllContainers(wb.records(), sheets, wb.stream(), lines.sink()));

  EXPECT_EQ(MeasureChartDiscrepancies(sheetBof, wb.records(), wb.stream(), lines.sink()), expected);
  FixSheet(wb.records(), wb.stream(), sheetBof, expected, lines.sink());
  EXPECT_EQ(wb.contents(), original);
  lines.output.clear();
  EXPECT_TRUE(CheckAllContainers(wb.records(), sheets, wb.stream(), lines.sink()));
  EXPECT_EQ(lines.output, Lines{L"Container integrity check OK"});
  return true;
}

struct Generated {
  const char* name;
  std::vector<DrawingNode> charts;  // a chart without children has no drawing data
  std::vector<std::uint32_t> ks;
  std::uint32_t chartCut;
  std::vector<testsupport::TextBox> boxes;
};

TEST(RoundTrip, GeneratedWorkbooks) {
  const DrawingNode none;
  const Generated cases[] = {
      {"OneChart", {TypicalDrawing(1)}, {1}, 0, {}},
      {"DgHeaderCut3Plus5", {TypicalDrawing(1), TypicalDrawing(2), TypicalDrawing(3, 40)}, {2, 0, 5}, 3, {}},
      {"DgHeaderCut7Plus1", {TypicalDrawing(2)}, {7}, 7, {}},
      {"GroupHeaderCut3Plus5", {TypicalDrawing(1), TypicalDrawing(1)}, {1, 1}, 27, {}},
      {"TextBoxesAndChartWithoutDrawing",
       {TypicalDrawing(1), none, TypicalDrawing(2)},
       {3, 0, 1},
       5,
       {{0}, {40}, {20000, false, 9000}, {3000, true, 16}}},
  };
  for (const Generated& g : cases) {
    SCOPED_TRACE(g.name);
    std::vector<Bytes> sound, damagedCharts;
    std::int64_t total = 0;
    for (std::size_t i = 0; i < g.charts.size(); ++i) {
      const bool drawn = !g.charts[i].children.empty();
      sound.push_back(drawn ? SerializeDrawing(g.charts[i]) : Bytes{});
      damagedCharts.push_back(drawn ? SerializeDrawing(Moved(g.charts[i], 6 * g.ks[i])) : Bytes{});
      total += 6 * g.ks[i];
    }
    const DrawingNode sheet = TypicalDrawing(static_cast<int>(g.charts.size()) + 1);
    const Built built = OneSheet(sheet, sound, g.chartCut, g.boxes);
    const Built damaged = OneSheet(Moved(sheet, -total), damagedCharts, g.chartCut, g.boxes);
    ASSERT_NE(built.builder.bytes(), damaged.builder.bytes());
    OpenedWorkbook wb(built.builder.bytes());
    EXPECT_TRUE(DamageMeasureFix(wb, built.sheet.sheetBof, &damaged.builder.bytes(),
                                 [&](std::size_t i) { return g.ks[i]; }));
  }
}

TEST(RoundTrip, CorpusWorkbooks) {
  DRAWING_REQUIRE_CORPUS(corpus);
  int damagedSheets = 0;
  for (const std::string& name : drawingtest::SoundCorpusWorkbooks()) {
    SCOPED_TRACE(name);
    auto wb = OpenedWorkbook::copyOf(corpus + "/" + name);
    for (const auto& sheet : wb->sheets()) {
      SCOPED_TRACE(sheet.bofIndex);
      bool damaged = false;
      for (std::uint32_t k : {1u, 5u}) {
        damaged = DamageMeasureFix(*wb, sheet.bofIndex, nullptr,
                                   [k](std::size_t i) { return k + static_cast<std::uint32_t>(i); });
      }
      if (damaged) ++damagedSheets;
    }
  }
  EXPECT_GE(damagedSheets, 4) << "the corpus should hold several sheets with charts that have drawings";
}

}  // namespace
