// The drawing stream over one substream's MSODRAWING and CONTINUE payloads:
// which records it selects, and headers, seeks and offsets across them.
#include <functional>

#include "drawing/OfficeDrawingStream.h"
#include "drawing_test_util.h"

namespace {

using bookmender::IOException;
using bookmender::OfficeDrawingRecordHeader;
using bookmender::OfficeDrawingStream;
using bookmender::SeekFromCurrent;
using bookmender::SeekFromStart;
using drawingtest::Bytes;
using drawingtest::OpenedWorkbook;
using testsupport::BiffBuilder;

constexpr std::uint16_t kMsoDrawing = 0x00EC;
constexpr std::uint16_t kContinue = 0x003C;
constexpr std::uint16_t kTxo = 0x01B6;
constexpr std::uint16_t kNumber = 0x0203;  // any record the selection does not name

// Globals, then one sheet whose records `body` appends (BOF and EOF added).
// Returns the builder so that tests can ask for record numbers and offsets.
BiffBuilder Sheet(const std::function<void(BiffBuilder&)>& body) {
  BiffBuilder b;
  testsupport::AppendGlobals(b);
  b.bof();
  body(b);
  b.eof();
  return b;
}
constexpr std::uint32_t kSheetBof = 2;

Bytes Pattern(std::size_t n, std::uint8_t seed) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + 13 * i);
  return bytes;
}

OfficeDrawingRecordHeader HeaderAt(const Bytes& drawing, std::size_t at) {
  std::uint8_t bytes[8];
  std::copy(drawing.begin() + at, drawing.begin() + at + 8, bytes);
  return OfficeDrawingRecordHeader::decode(bytes);
}

std::vector<std::uint32_t> SelectedOffsets(const OfficeDrawingStream& s) {
  std::vector<std::uint32_t> offsets;
  for (const auto& r : s.selectedRecords()) offsets.push_back(r.dataOffset);
  return offsets;
}

TEST(DrawingStream, SheetWithoutDrawingIsEmpty) {
  OpenedWorkbook wb(Sheet([](BiffBuilder& b) { b.record(kNumber, Bytes(14, 0)); }).bytes());
  OfficeDrawingStream s(wb.records(), wb.stream());
  s.open(kSheetBof);
  EXPECT_EQ(s.size(), 0u);
  EXPECT_TRUE(s.atEnd());
  OfficeDrawingRecordHeader h;
  ExpectThrowMessage<IOException>([&] { s.readHeader(h); },
                                  L"I/O exception [Attempt to read beyond end of OfficeDrawingStream]");
}

// A header cut 3 + 5 or 7 + 1 between MSODRAWING and CONTINUE (and 3 + 0 + 5
// around an empty CONTINUE) is read whole and rewritten in both pieces.
class SplitHeader : public testing::TestWithParam<std::vector<std::uint32_t>> {};

TEST_P(SplitHeader, IsReadAndWrittenWhole) {
  const Bytes drawing = testsupport::SerializeDrawing(testsupport::TypicalDrawing(1));
  std::vector<testsupport::DrawingPiece> pieces;
  for (std::uint32_t cut : GetParam()) pieces.push_back({cut, kContinue, nullptr});
  std::vector<std::uint32_t> payloads;
  const BiffBuilder b = Sheet([&](BiffBuilder& x) { payloads = testsupport::AppendDrawing(x, drawing, pieces); });
  OpenedWorkbook wb(b.bytes());
  OfficeDrawingStream s(wb.records(), wb.stream());
  s.open(kSheetBof);
  ASSERT_EQ(s.size(), drawing.size());

  OfficeDrawingRecordHeader h;
  s.readHeader(h);
  EXPECT_EQ(h.verInstance, 0x000F);
  EXPECT_EQ(h.type, 0xF002);
  EXPECT_EQ(h.length, drawing.size() - 8);
  EXPECT_EQ(s.position(), 8u);
  s.readHeader(h);  // the FDG atom right behind it
  EXPECT_EQ(h.type, 0xF008);

  const OfficeDrawingRecordHeader written{0x0A1F, 0xF0B2, 0xC3D4E5F6};
  s.seek(0, SeekFromStart);
  s.writeHeader(written);
  EXPECT_EQ(s.position(), 8u);

  // Expected: the original stream with the 8 new bytes spread over the pieces.
  std::uint8_t encoded[8];
  written.encode(encoded);
  Bytes expected = b.bytes();
  for (std::uint32_t k = 0; k < 8; ++k) {
    std::size_t piece = 0;  // the last payload starting at or before k, skipping empty ones
    while (piece < pieces.size() && pieces[piece].start <= k) ++piece;
    const std::uint32_t start = piece == 0 ? 0 : pieces[piece - 1].start;
    expected[b.dataOffset(payloads[piece]) + (k - start)] = encoded[k];
  }
  EXPECT_EQ(wb.contents(), expected);

  OfficeDrawingStream again(wb.records(), wb.stream());
  again.open(kSheetBof);
  again.readHeader(h);
  EXPECT_EQ(h.verInstance, written.verInstance);
  EXPECT_EQ(h.type, written.type);
  EXPECT_EQ(h.length, written.length);
}

INSTANTIATE_TEST_SUITE_P(Cuts, SplitHeader,
                         testing::Values(std::vector<std::uint32_t>{3}, std::vector<std::uint32_t>{7},
                                         std::vector<std::uint32_t>{3, 3}));

// Which records form the drawing stream. Each case appends the sheet's body
// and returns the record numbers that must be selected.
struct SelectionCase {
  const char* name;
  std::function<std::vector<std::uint32_t>(BiffBuilder&)> body;
};

std::uint32_t Drawing(BiffBuilder& b, std::uint16_t type = kMsoDrawing) {
  return b.record(type, Pattern(20, static_cast<std::uint8_t>(b.recordCount())));
}

const SelectionCase kSelectionCases[] = {
    {"TxoTextAndRunsAreSkippedThenDrawingResumes",
     [](BiffBuilder& b) {
       const auto m = Drawing(b);
       EXPECT_EQ(testsupport::AppendTextBox(b, {1, false, 16}), 2u);
       return std::vector<std::uint32_t>{m, Drawing(b, kContinue)};
     }},
    {"TxoWithoutTextOwnsNoContinue",
     [](BiffBuilder& b) {
       const auto m = Drawing(b);
       EXPECT_EQ(testsupport::AppendTextBox(b, {0, false, 16}), 0u);  // cbRuns stored, not written
       const auto c1 = Drawing(b, kContinue);
       return std::vector<std::uint32_t>{m, c1, Drawing(b, kContinue)};
     }},
    {"LongTextAndRunsOverSeveralContinues",
     [](BiffBuilder& b) {
       const auto m = Drawing(b);
       EXPECT_EQ(testsupport::AppendTextBox(b, {20000, false, 9000}), 5u);  // 3 text + 2 runs
       return std::vector<std::uint32_t>{m, Drawing(b, kContinue)};
     }},
    {"TwoByteTextFragments",
     [](BiffBuilder& b) {
       const auto m = Drawing(b);
       // 4 characters per 10-byte fragment: 9 fragments, then 3 run records.
       EXPECT_EQ(testsupport::AppendTextBox(b, {33, true, 24, 10}), 12u);
       return std::vector<std::uint32_t>{m, Drawing(b, kContinue)};
     }},
    {"OneByteTextFragments",
     [](BiffBuilder& b) {
       const auto m = Drawing(b);
       EXPECT_EQ(testsupport::AppendTextBox(b, {18, false, 0, 10}), 2u);  // 9 + 9, no runs
       return std::vector<std::uint32_t>{m, Drawing(b, kContinue)};
     }},
    {"ShortTxoKeepsTwoContinues",
     [](BiffBuilder& b) {
       const auto m = Drawing(b);
       EXPECT_EQ(testsupport::AppendTextBox(b, {5, false, 16, 8224, 12}), 2u);
       return std::vector<std::uint32_t>{m, Drawing(b, kContinue)};
     }},
    {"TextThatRunsOutOwnsOnlyTheContinuesPresent",
     [](BiffBuilder& b) {
       const auto m = Drawing(b);
       Bytes txo(18, 0);
       txo[10] = 100;  // 100 characters announced, 5 present
       b.record(kTxo, txo);
       b.record(kContinue, Bytes{0, 'a', 'b', 'c', 'd', 'e'});
       testsupport::AppendObj(b);
       return std::vector<std::uint32_t>{m, Drawing(b, kContinue)};
     }},
    {"ObjKeepsTheRun",
     [](BiffBuilder& b) {
       const auto m = Drawing(b);
       testsupport::AppendObj(b);
       return std::vector<std::uint32_t>{m, Drawing(b, kContinue)};
     }},
    {"OtherRecordEndsTheRun",
     [](BiffBuilder& b) {
       const auto m = Drawing(b);
       b.record(kNumber, Bytes(14, 0));
       Drawing(b, kContinue);
       return std::vector<std::uint32_t>{m, Drawing(b)};
     }},
    {"NestedChartIsSkippedAndTheRunResumes",
     [](BiffBuilder& b) {
       const auto m = Drawing(b);
       testsupport::AppendObj(b);
       b.bof(0x0020);
       b.record(0x1002, Bytes(16, 0));  // the chart's own records end any run in it
       Drawing(b);
       Drawing(b, kContinue);
       b.eof();
       return std::vector<std::uint32_t>{m, Drawing(b, kContinue)};
     }},
    {"RunEndedBeforeNestedChartStaysEnded",
     [](BiffBuilder& b) {
       const auto m = Drawing(b);
       b.record(kNumber, Bytes(14, 0));
       b.bof(0x0020);
       Drawing(b);
       b.eof();
       Drawing(b, kContinue);
       return std::vector<std::uint32_t>{m};
     }},
};

TEST(DrawingStream, SelectsTheSubstreamsDrawingPayloads) {
  for (const SelectionCase& c : kSelectionCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint32_t> expectedRecords;
    const BiffBuilder b = Sheet([&](BiffBuilder& x) { expectedRecords = c.body(x); });
    OpenedWorkbook wb(b.bytes());
    OfficeDrawingStream s(wb.records(), wb.stream());
    for (int round = 0; round < 2; ++round) {  // a second open starts afresh
      s.open(kSheetBof);
      std::vector<std::uint32_t> expected;
      for (auto r : expectedRecords) expected.push_back(b.dataOffset(r));
      EXPECT_EQ(SelectedOffsets(s), expected);
      EXPECT_EQ(s.position(), 0u);
    }
  }
}

TEST(DrawingStream, ChartOpenedAtItsOwnBofEndsAtItsEof) {
  std::uint32_t chartBof = 0, chartDrawing = 0, chartContinue = 0;
  const BiffBuilder b = Sheet([&](BiffBuilder& x) {
    Drawing(x);
    chartBof = x.bof(0x0020);
    chartDrawing = Drawing(x);
    chartContinue = Drawing(x, kContinue);
    x.eof();
    Drawing(x);
  });
  OpenedWorkbook wb(b.bytes());
  OfficeDrawingStream s(wb.records(), wb.stream());
  s.open(chartBof);
  EXPECT_EQ(SelectedOffsets(s), (std::vector<std::uint32_t>{b.dataOffset(chartDrawing),
                                                             b.dataOffset(chartContinue)}));
}

TEST(DrawingStream, OpenWithoutClosingEofFails) {
  // The sheet's EOF is missing: the chart's EOF only brings the depth back to 1.
  BiffBuilder unbalanced;
  testsupport::AppendGlobals(unbalanced);
  unbalanced.bof();
  Drawing(unbalanced);
  unbalanced.bof(0x0020);
  unbalanced.eof();
  OpenedWorkbook wb(unbalanced.bytes());
  OfficeDrawingStream s(wb.records(), wb.stream());
  ExpectThrowMessage<IOException>(
      [&] { s.open(kSheetBof); },
      L"I/O exception [Ran off the end of the file in OfficeDrawingStream::open]");
}

// Payloads of 16, 0 and 24 bytes.
class ThreePayloads : public testing::Test {
 protected:
  ThreePayloads()
      : drawing_(Pattern(40, 1)),
        builder_(Sheet([this](BiffBuilder& b) {
          records_ = testsupport::AppendDrawing(b, drawing_, {{16, kContinue, nullptr}, {16, kContinue, nullptr}});
        })),
        wb_(builder_.bytes()),
        s_(wb_.records(), wb_.stream()) {
    s_.open(kSheetBof);
  }
  Bytes drawing_;
  std::vector<std::uint32_t> records_;
  BiffBuilder builder_;
  OpenedWorkbook wb_;
  OfficeDrawingStream s_;
};

TEST_F(ThreePayloads, SeeksWithinAndToTheEndButNotBeyond) {
  ASSERT_EQ(s_.size(), 40u);
  OfficeDrawingRecordHeader h;
  s_.seek(12, SeekFromStart);  // 4 + 0 + 4 bytes across the empty payload
  s_.readHeader(h);
  EXPECT_EQ(h.length, HeaderAt(drawing_, 12).length);
  EXPECT_EQ(h.type, HeaderAt(drawing_, 12).type);
  s_.seek(12, SeekFromCurrent);
  EXPECT_EQ(s_.position(), 32u);
  s_.seek(8, SeekFromCurrent);
  EXPECT_TRUE(s_.atEnd());
  s_.seek(0, SeekFromStart);  // behind the current record: scanned from the start
  s_.readHeader(h);
  EXPECT_EQ(h.length, HeaderAt(drawing_, 0).length);

  s_.seek(40, SeekFromStart);
  EXPECT_TRUE(s_.atEnd());
  ExpectThrowMessage<IOException>([&] { s_.seek(41, SeekFromStart); },
                                  L"I/O exception [Seek beyond end of OfficeDrawingStream]");
  s_.seek(8, SeekFromStart);
  // 8 + 0xFFFFFFF8 is past the end, not 0.
  ExpectThrowMessage<IOException>([&] { s_.seek(0xFFFFFFF8u, SeekFromCurrent); },
                                  L"I/O exception [Seek beyond end of OfficeDrawingStream]");
  ExpectThrowMessage<bookmender::Exception>(
      [&] { s_.seek(0, static_cast<bookmender::SeekOrigin>(2)); },
      L"General exception [Invalid origin provided to OfficeDrawingStream::seek]");
}

TEST_F(ThreePayloads, MapsOffsetsToTheWorkbookStream) {
  EXPECT_EQ(s_.workbookStreamOffset(0), builder_.dataOffset(records_[0]));
  EXPECT_EQ(s_.workbookStreamOffset(15), builder_.dataOffset(records_[0]) + 15);
  // The first byte of the next non-empty payload, not the end of the first.
  EXPECT_EQ(s_.workbookStreamOffset(16), builder_.dataOffset(records_[2]));
  EXPECT_EQ(s_.workbookStreamOffset(39), builder_.dataOffset(records_[2]) + 23);
  s_.seek(20, SeekFromStart);
  EXPECT_EQ(s_.workbookStreamOffset(3), builder_.dataOffset(records_[0]) + 3);
  EXPECT_EQ(s_.position(), 20u);  // no move
  for (std::uint32_t beyond : {40u, 41u}) {
    ExpectThrowMessage<IOException>(
        [&] { s_.workbookStreamOffset(beyond); },
        L"I/O exception [Tried to get workbookStreamOffset for an offset beyond end of OfficeDrawingStream]");
  }
}

TEST_F(ThreePayloads, WriteRunningOffTheEndFailsAfterWritingWhatFits) {
  s_.seek(36, SeekFromStart);
  ExpectThrowMessage<IOException>(
      [&] { s_.writeHeader(OfficeDrawingRecordHeader{0xAAAA, 0xBBBB, 0}); },
      L"I/O exception [Attempt to write beyond end of OfficeDrawingStream]");
  Bytes expected = builder_.bytes();
  const std::uint32_t at = builder_.dataOffset(records_[2]) + 20;
  expected[at] = expected[at + 1] = 0xAA;
  expected[at + 2] = expected[at + 3] = 0xBB;
  EXPECT_EQ(wb_.contents(), expected);
}

}  // namespace
