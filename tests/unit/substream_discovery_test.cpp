// Sheets and embedded chart substreams from BOF/EOF nesting.
#include <gtest/gtest.h>

#include "errors/Exception.h"
#include "workbook/BiffRecordReader.h"
#include "workbook/SubstreamDiscovery.h"

using namespace bookmender;

namespace {

constexpr std::uint16_t B = biff::kBof, E = biff::kEof, D = biff::kMsoDrawing, O = biff::kObj,
                        C = biff::kContinue;

BiffRecordList List(std::initializer_list<std::uint16_t> types) {
  BiffRecordList list;
  std::uint32_t offset = 4;
  for (std::uint16_t t : types) {
    list.push_back(BiffRecord{t, 0, offset});
    offset += 4;
  }
  return list;
}

std::vector<std::pair<std::uint32_t, bool>> Sheets(const BiffRecordList& list) {
  std::vector<std::pair<std::uint32_t, bool>> out;
  for (const SheetSubstream& s : FindSheetSubstreams(list)) out.emplace_back(s.bofIndex, s.suspicious);
  return out;
}

using SheetList = std::vector<std::pair<std::uint32_t, bool>>;

}  // namespace

TEST(FindSheetSubstreams, WorkedExample) {
  const BiffRecordList list = List({B, E, B, D, B, D, E, D, E, B, E});
  EXPECT_EQ(Sheets(list), (SheetList{{2, true}, {9, false}}));
  EXPECT_EQ(FindSheetEmbeddedChartSubstreams(list, 2), std::vector<std::uint32_t>{4});
  EXPECT_TRUE(FindSheetEmbeddedChartSubstreams(list, 9).empty());
}

TEST(FindSheetSubstreams, GlobalsAloneAndPlainSheets) {
  EXPECT_TRUE(Sheets(List({B, E})).empty());
  EXPECT_EQ(Sheets(List({B, E, B, D, E, B, O, E})), (SheetList{{2, false}, {5, false}}));
}

TEST(FindSheetSubstreams, SuspiciousOnlyWhenDrawingFollowsTheChartEofDirectly) {
  // Anything between the chart's EOF and the sheet's drawing record clears it.
  EXPECT_EQ(Sheets(List({B, E, B, B, D, E, O, D, E})), (SheetList{{2, false}}));
  EXPECT_EQ(Sheets(List({B, E, B, B, D, E, C, D, E})), (SheetList{{2, false}}));
  // A chart without drawing data.
  EXPECT_EQ(Sheets(List({B, E, B, B, O, E, D, E})), (SheetList{{2, false}}));
  // The second chart's BOF clears the first chart's mark.
  EXPECT_EQ(Sheets(List({B, E, B, B, D, E, B, E, D, E})), (SheetList{{2, false}}));
  // Once set, the mark stays until the sheet's EOF.
  EXPECT_EQ(Sheets(List({B, E, B, B, D, E, D, B, E, O, E})), (SheetList{{2, true}}));
  // Drawing records deeper than the chart level do not count.
  EXPECT_EQ(Sheets(List({B, E, B, B, B, D, E, E, D, E})), (SheetList{{2, false}}));
}

TEST(FindSheetSubstreams, UnbalancedNestingListsNestedSubstreamsAsSheets) {
  // The extra EOF drives the depth to -1; the next sheet is not listed, while
  // the substream nested in it runs from depth 1 back to 0 and is.
  EXPECT_EQ(Sheets(List({B, E, E, B, B, E, E})), (SheetList{{4, false}}));
}

// A sheet is drawing-free, and skipped by the container check, only when it
// holds neither a drawing record of its own nor a nested substream.
TEST(FindSheetSubstreams, DrawingFreeOnlyWithoutDrawingsOrNestedSubstreams) {
  const BiffRecordList list = List({B, E, B, O, C, E, B, O, D, E, B, B, O, E, E, B, B, B, D, E, E, E});
  std::vector<std::pair<std::uint32_t, bool>> free;
  for (const SheetSubstream& s : FindSheetSubstreams(list)) free.emplace_back(s.bofIndex, s.drawingFree);
  EXPECT_EQ(free, (SheetList{{2, true}, {6, false}, {10, false}, {15, false}}));
}

TEST(FindSheetEmbeddedChartSubstreams, ListsDirectChildrenOnly) {
  const BiffRecordList list = List({B, E, B, B, E, B, B, E, E, E});
  EXPECT_EQ(FindSheetEmbeddedChartSubstreams(list, 2), (std::vector<std::uint32_t>{3, 5}));
}

TEST(FindSheetEmbeddedChartSubstreams, MissingEofThrowsPlainException) {
  const BiffRecordList list = List({B, E, B, B, E});
  try {
    FindSheetEmbeddedChartSubstreams(list, 2);
    FAIL() << "no exception";
  } catch (const IOException&) {
    FAIL() << "must be the base class";
  } catch (const Exception& e) {
    EXPECT_EQ(e.fullMessage(),
              L"General exception [Unexpected end of file looking for EOF record in "
              L"FindSheetEmbeddedChartSubstreams]");
  }
}

// The index is kept in blocks: sheets and charts whose records sit on either
// side of a block boundary keep their record numbers, and a sheet's EOF in
// the next block ends it.
TEST(FindSheetSubstreams, PositionsAcrossBlockBoundaries) {
  constexpr std::uint32_t kBlock = BiffRecordList::kBlockSize;
  BiffRecordList list;
  const auto push = [&list](std::uint16_t type) {
    list.push_back(BiffRecord{type, 0, static_cast<std::uint32_t>(4 + 4 * list.size())});
  };
  push(B);
  while (list.size() < kBlock - 3) push(O);
  push(E);  // kBlock - 3: end of the globals
  push(B);  // kBlock - 2: a sheet
  push(B);  // kBlock - 1: its chart, whose EOF is in the next block
  push(D);
  push(E);  // kBlock + 1
  push(D);  // suspicious: right after the chart's EOF
  while (list.size() < 2 * kBlock - 1) push(O);
  push(E);  // 2 * kBlock - 1: the block's last entry ends the sheet
  push(B);  // 2 * kBlock: a sheet that starts a block
  push(B);
  push(E);
  push(E);
  EXPECT_EQ(Sheets(list), (SheetList{{kBlock - 2, true}, {2 * kBlock, false}}));
  EXPECT_EQ(FindSheetEmbeddedChartSubstreams(list, kBlock - 2), std::vector<std::uint32_t>{kBlock - 1});
  EXPECT_EQ(FindSheetEmbeddedChartSubstreams(list, 2 * kBlock), std::vector<std::uint32_t>{2 * kBlock + 1});
}
