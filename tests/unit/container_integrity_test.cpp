// The container integrity check: sound trees pass, the first fault is
// reported with the containers open at that point.
#include "drawing/ContainerIntegrity.h"
#include "drawing/DrawingFormat.h"
#include "drawing_test_util.h"

namespace {

using bookmender::CheckAllContainers;
using bookmender::CheckContainerIntegrity;
using bookmender::ContainerFrame;
using bookmender::DescribeContainerStack;
using drawingtest::Bytes;
using drawingtest::CapturedLines;
using drawingtest::OpenedWorkbook;
using testsupport::Atom;
using testsupport::BiffBuilder;
using testsupport::Container;
using testsupport::DrawingNode;
using testsupport::TypicalDrawing;
using testsupport::WithLengthDelta;
namespace dr = bookmender::drawing;

TEST(DescribeContainerStack, ListsFramesBottomUpWithAlignedLabels) {
  const std::vector<ContainerFrame> stack = {{16, 0x000F, 0xF002, 156, 1000},
                                             {48, 0x000F, 0xF003, 132, 1024},
                                             {4, 0x000F, 0xF004, 70, 1112},
                                             {0, 0x000F, 0xF123, 4294967295u, 1120}};
  EXPECT_EQ(DescribeContainerStack(L"Office drawing container will not fit in parent", stack),
            L"Office drawing container will not fit in parent\n"
            L"Workbook stream offset: 1000\n"
            L"Record type:            DgContainer\n"
            L"Expected size:          156\n"
            L"Bytes seen:             16\n"
            L"Workbook stream offset: 1024\n"
            L"Record type:            SpgrContainer\n"
            L"Expected size:          132\n"
            L"Bytes seen:             48\n"
            L"Workbook stream offset: 1112\n"
            L"Record type:            SpContainer\n"
            L"Expected size:          70\n"
            L"Bytes seen:             4\n"
            L"Workbook stream offset: 1120\n"
            L"Record type:            61731\n"
            L"Expected size:          4294967295\n"
            L"Bytes seen:             0\n");
  EXPECT_EQ(DescribeContainerStack(L"m", {}), L"m\n");
}

// Globals and one sheet whose drawing is one MSODRAWING (record 3), cut into
// CONTINUE records at `cuts`; no MSODRAWING at all for an empty drawing.
constexpr std::uint32_t kSheetBof = 2;
BiffBuilder OneDrawingSheet(const Bytes& drawing, const std::vector<std::uint32_t>& cuts = {}) {
  BiffBuilder b;
  testsupport::AppendGlobals(b);
  b.bof();
  std::vector<testsupport::DrawingPiece> pieces;
  for (auto cut : cuts) pieces.push_back({cut, 0x003C, nullptr});
  if (!drawing.empty()) testsupport::AppendDrawing(b, drawing, pieces);
  b.eof();
  return b;
}

std::wstring Block(std::uint32_t offset, const std::wstring& type, std::uint32_t expected,
                   std::uint32_t seen) {
  return L"Workbook stream offset: " + std::to_wstring(offset) + L"\nRecord type:            " + type +
         L"\nExpected size:          " + std::to_wstring(expected) +
         L"\nBytes seen:             " + std::to_wstring(seen) + L"\n";
}

// The typical one-shape drawing: Dg@0 {FDG@8, Spgr@24 {Sp@32 {...} (48 bytes),
// Sp@80 {FSP@88, FOPT@104, anchor@130, client data@156}}}, 164 bytes.
DrawingNode Typical() { return TypicalDrawing(1); }

// Full message of the check's failure on `drawing`, or "" when it passes.
std::wstring CheckMessage(const Bytes& drawing, const std::vector<std::uint32_t>& cuts = {}) {
  OpenedWorkbook wb(OneDrawingSheet(drawing, cuts).bytes());
  try {
    CheckContainerIntegrity(wb.stream(), wb.records(), kSheetBof);
  } catch (const bookmender::Exception& e) {
    return e.fullMessage();
  }
  return L"";
}

TEST(ContainerIntegrity, SoundTreesPass) {
  const Bytes typical = testsupport::SerializeDrawing(Typical());
  EXPECT_EQ(CheckMessage(typical), L"");
  EXPECT_EQ(CheckMessage(typical, {3, 7, 11, 100, 163}), L"");  // headers and atoms cut anywhere
  EXPECT_EQ(CheckMessage(testsupport::SerializeDrawing(TypicalDrawing(5, 300))), L"");
  // An empty container is complete at once and counts 8 bytes in its parent.
  EXPECT_EQ(CheckMessage(testsupport::SerializeDrawing(
                Container(dr::kDgContainer, {Atom(dr::kFdg, 8), Container(0xF005, {})}))),
            L"");
  EXPECT_EQ(CheckMessage(Bytes{}), L"");  // no drawing records at all
}

TEST(ContainerIntegrity, ReportsTheFirstFault) {
  const std::uint32_t d = OneDrawingSheet(Bytes(1)).dataOffset(3);  // where the drawing starts
  auto typicalWith = [](std::size_t child, std::int64_t delta) {
    DrawingNode tree = Typical();
    if (child == 0) tree = WithLengthDelta(tree, delta);
    if (child == 1) tree.children[1] = WithLengthDelta(tree.children[1], delta);
    if (child == 2) tree.children[1].children[1] = WithLengthDelta(tree.children[1].children[1], delta);
    return testsupport::SerializeDrawing(tree);
  };
  const std::wstring general = L"General exception [";

  // A DgContainer 6 bytes too long runs out of data inside it.
  EXPECT_EQ(CheckMessage(typicalWith(0, +6)),
            L"I/O exception [Attempt to read beyond end of OfficeDrawingStream]");
  // 6 bytes too short: its group no longer fits.
  EXPECT_EQ(CheckMessage(typicalWith(0, -6)),
            general + L"Office drawing container will not fit in parent\n" +
                Block(d, L"DgContainer", 150, 16) + Block(d + 24, L"SpgrContainer", 132, 0) + L"]");
  // A nested container one byte too long for its parent.
  EXPECT_EQ(CheckMessage(typicalWith(1, +1)),
            general + L"Office drawing container will not fit in parent\n" +
                Block(d, L"DgContainer", 156, 16) + Block(d + 24, L"SpgrContainer", 133, 0) + L"]");
  // A shape 6 bytes short: its last atom crosses the shortened end.
  EXPECT_EQ(CheckMessage(typicalWith(2, -6)),
            general + L"Non-container record at " + std::to_wstring(d + 156) +
                L" will not fit in parent\n" + Block(d, L"DgContainer", 156, 16) +
                Block(d + 24, L"SpgrContainer", 132, 48) + Block(d + 80, L"SpContainer", 70, 68) + L"]");
  // The shortened end falls on a record boundary: the tree completes early.
  const std::wstring dataLeft =
      general + L"Data left in Office drawing stream after parsing all Office drawing records]";
  EXPECT_EQ(CheckMessage(typicalWith(0, -140)), dataLeft);
  Bytes twice = testsupport::SerializeDrawing(Typical());
  const Bytes once = twice;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(CheckMessage(twice), dataLeft);
  // A drawing that starts with an atom.
  EXPECT_EQ(CheckMessage(testsupport::SerializeDrawing(Atom(dr::kFdg, 8))),
            general + L"Non-container found without a parent container at " + std::to_wstring(d) + L"]");
  // Unnamed container types are shown by number.
  DrawingNode odd = Container(dr::kDgContainer, {Atom(dr::kFdg, 8), Container(0xF123, {Atom(0xF124, 4)})});
  odd.children[1] = WithLengthDelta(odd.children[1], 1);
  EXPECT_EQ(CheckMessage(testsupport::SerializeDrawing(odd)),
            general + L"Office drawing container will not fit in parent\n" +
                Block(d, L"DgContainer", 36, 16) + Block(d + 24, L"61731", 13, 0) + L"]");
}

// Lengths near 4 GiB must fail at once rather than wrap and loop.
TEST(ContainerIntegrity, LengthsNearFourGiBFailPromptly) {
  const std::uint32_t d = OneDrawingSheet(Bytes(1)).dataOffset(3);
  DrawingNode inShape = Typical();
  inShape.children[1].children[1].children[1] = WithLengthDelta(Atom(dr::kFopt, 0), 0xFFFFFFF8);
  const std::wstring message = CheckMessage(testsupport::SerializeDrawing(inShape));
  EXPECT_EQ(message.rfind(L"General exception [Non-container record at " + std::to_wstring(d + 104) +
                              L" will not fit in parent\n",
                          0),
            0u)
      << message;

  // In a DgContainer that claims 0xFFFFFFFF bytes the atom fits, and skipping
  // its data runs past the drawing stream.
  DrawingNode huge = Container(dr::kDgContainer, {WithLengthDelta(Atom(dr::kFdg, 8), 0xFFFFFFF0 - 8)});
  huge = WithLengthDelta(huge, 0xFFFFFFFF - 16);
  EXPECT_EQ(CheckMessage(testsupport::SerializeDrawing(huge)),
            L"I/O exception [Seek beyond end of OfficeDrawingStream]");
  // 0xFFFFFFF8 + 8 is 2^32: larger than any parent.
  huge.children[0] = WithLengthDelta(Atom(dr::kFdg, 0), 0xFFFFFFF8);
  EXPECT_EQ(CheckMessage(testsupport::SerializeDrawing(huge)).rfind(
                L"General exception [Non-container record at ", 0),
            0u);
}

// Globals; sheet A with two charts (the second as given); sheet B as given.
Bytes TwoSheets(const Bytes& secondChart, const Bytes& sheetB) {
  BiffBuilder b;
  testsupport::AppendGlobals(b);
  testsupport::ChartedSheetOptions options;
  options.chartDrawings = {testsupport::SerializeDrawing(TypicalDrawing(1)), secondChart, Bytes{}};
  options.chartCut = 5;
  testsupport::AppendChartedSheet(b, TypicalDrawing(4), options);
  b.bof();  // a sheet without drawing data
  b.eof();
  b.bof();
  testsupport::AppendDrawing(b, sheetB, {{20, 0x003C, nullptr}});
  b.eof();
  return b.bytes();
}

TEST(CheckAllContainers, ReportsOkOnceForSoundSheetsAndCharts) {
  OpenedWorkbook wb(TwoSheets(testsupport::SerializeDrawing(TypicalDrawing(2)),
                              testsupport::SerializeDrawing(TypicalDrawing(3))));
  CapturedLines lines;
  EXPECT_TRUE(CheckAllContainers(wb.records(), wb.sheets(), wb.stream(), lines.sink()));
  EXPECT_EQ(lines.output, std::vector<std::wstring>{L"Container integrity check OK"});
  EXPECT_TRUE(lines.error.empty());
}

TEST(CheckAllContainers, StopsAtTheFirstFault) {
  // The second chart of the first sheet is broken, and so is the last sheet.
  OpenedWorkbook wb(TwoSheets(testsupport::SerializeDrawing(WithLengthDelta(TypicalDrawing(2), 6)),
                              testsupport::SerializeDrawing(Atom(dr::kFdg, 30))));
  ASSERT_EQ(wb.sheets().size(), 3u);
  CapturedLines lines;
  EXPECT_FALSE(CheckAllContainers(wb.records(), wb.sheets(), wb.stream(), lines.sink()));
  EXPECT_TRUE(lines.output.empty());
  EXPECT_EQ(lines.error, std::vector<std::wstring>{
                             L"I/O exception [Attempt to read beyond end of OfficeDrawingStream]"});
}

// Every sound workbook of the corpus passes (drawings.xls only with empty text
// boxes owning no CONTINUE records); 47251.xls has a DgContainer of version 0.
TEST(CheckAllContainers, CorpusWorkbooks) {
  DRAWING_REQUIRE_CORPUS(corpus);
  for (const std::string& name : drawingtest::SoundCorpusWorkbooks()) {
    SCOPED_TRACE(name);
    auto wb = OpenedWorkbook::copyOf(corpus + "/" + name);
    CapturedLines lines;
    EXPECT_TRUE(CheckAllContainers(wb->records(), wb->sheets(), wb->stream(), lines.sink()));
    EXPECT_EQ(lines.error, std::vector<std::wstring>{});
  }
  auto broken = OpenedWorkbook::copyOf(corpus + "/47251.xls");
  CapturedLines lines;
  EXPECT_FALSE(CheckAllContainers(broken->records(), broken->sheets(), broken->stream(), lines.sink()));
  ASSERT_EQ(lines.error.size(), 1u);
  EXPECT_EQ(lines.error[0].rfind(L"General exception [Non-container found without a parent container at ", 0), 0u)
      << std::string(lines.error[0].begin(), lines.error[0].end());
  EXPECT_TRUE(lines.output.empty());
}

}  // namespace
