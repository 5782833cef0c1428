// Indexing the Workbook stream and the two sanity rules.
#include <gtest/gtest.h>

#include <memory>

#include <stdexcept>

#include "cfb_writer.h"
#include "drawing/ContainerIntegrity.h"
#include "errors/Exception.h"
#include "platform/compound_file.h"
#include "platform/text.h"
#include "workbook/BiffRecordReader.h"
#include "workbook/SubstreamDiscovery.h"
#include "workbook_test_util.h"

using namespace bookmender;
using testsupport::BiffBuilder;
using testsupport::Bytes;
using testsupport::TempDir;

namespace {

BiffRecordList Index(const TempDir& dir, const Bytes& stream) {
  WorkbookStream ws;
  ws.open(platform::DecodeNative(WriteWorkbook(dir, stream)), true);
  BiffRecordList list = ReadBiffRecords(ws);
  EXPECT_EQ(ws.tell(), ws.size());
  return list;
}

}  // namespace

TEST(ReadBiffRecords, IndexesEveryHeaderWithItsDataOffset) {
  TempDir dir;
  BiffBuilder b;
  b.bof();
  b.record(biff::kMsoDrawing, Bytes(10, 0xAA));
  b.record(biff::kContinue, Bytes(3, 0xBB));
  b.record(0x0200, {});
  b.eof();
  const BiffRecordList list = Index(dir, b.bytes());
  ASSERT_EQ(list.size(), 5u);
  for (std::uint32_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].dataOffset, b.dataOffset(i));
  EXPECT_EQ(list[1].type, biff::kMsoDrawing);
  EXPECT_EQ(list[1].length, 10);
  EXPECT_EQ(list[2].type, biff::kContinue);
  EXPECT_EQ(list[2].length, 3);
  EXPECT_NO_THROW(ValidateBiffRecords(list));
}

TEST(ReadBiffRecords, EmptyStreamGivesEmptyListThatFailsValidation) {
  TempDir dir;
  const BiffRecordList list = Index(dir, {});
  EXPECT_TRUE(list.empty());
  ExpectThrowMessage<IOException>([&] { ValidateBiffRecords(list); },
                                  L"I/O exception [First record is not BOF or last record is not EOF!]");
}

TEST(ReadBiffRecords, TruncatedHeaderFails) {
  for (int extra = 1; extra <= 3; ++extra) {
    TempDir dir;
    BiffBuilder b;
    b.bof();
    b.eof();
    b.raw(Bytes(extra, 0x11));
    WorkbookStream ws;
    ws.open(platform::DecodeNative(WriteWorkbook(dir, b.bytes())), true);
    ExpectThrowMessage<IOException>(
        [&] { ReadBiffRecords(ws); },
        L"I/O exception [Reached end of stream while trying to read BIFF header]");
  }
}

// Streams of odd length: one to three bytes after the EOF are padding when
// they are all zero and a torn header when any of them is not.
TEST(ReadBiffRecords, ShortTailIsPaddingOnlyWhenZero) {
  BiffBuilder b;
  b.bof();
  b.record(0x0200, Bytes(5, 0x33));
  b.eof();
  for (int extra = 1; extra <= 3; ++extra) {
    TempDir dir;
    Bytes stream = b.bytes();
    stream.resize(stream.size() + extra, 0);
    const BiffRecordList list = Index(dir, stream);
    ASSERT_EQ(list.size(), 3u) << extra;
    EXPECT_EQ(list[2].type, biff::kEof);
    EXPECT_NO_THROW(ValidateBiffRecords(list));
  }
  for (const Bytes& tail : {Bytes{0x01}, Bytes{0, 0x01}, Bytes{0, 0, 0x80}, Bytes{0x0A, 0}}) {
    TempDir dir;
    Bytes stream = b.bytes();
    stream.insert(stream.end(), tail.begin(), tail.end());
    WorkbookStream ws;
    ws.open(platform::DecodeNative(WriteWorkbook(dir, stream)), true);
    ExpectThrowMessage<IOException>(
        [&] { ReadBiffRecords(ws); },
        L"I/O exception [Reached end of stream while trying to read BIFF header]");
  }
}

TEST(ReadBiffRecords, RecordDataMustFitTheStream) {
  TempDir dir;
  BiffBuilder exact;
  exact.bof();
  exact.recordWithLength(0x0200, 6, Bytes(6, 1));  // ends exactly at the end
  EXPECT_EQ(Index(dir, exact.bytes()).size(), 2u);

  BiffBuilder over;
  over.bof();
  over.recordWithLength(0x0200, 7, Bytes(6, 1));
  WorkbookStream ws;
  ws.open(platform::DecodeNative(WriteWorkbook(dir, over.bytes(), {}, "over.xls")), true);
  ExpectThrowMessage<IOException>([&] { ReadBiffRecords(ws); },
                                  L"I/O exception [Seek beyond end of stream]");
}

TEST(ReadBiffRecords, FilePassStopsAtOnceEvenWithAnImpossibleLength) {
  TempDir dir;
  BiffBuilder first;
  first.recordWithLength(biff::kFilePass, 0xFFFF, {});
  BiffBuilder later;
  later.bof();
  later.record(biff::kFilePass, Bytes(54, 0));
  later.raw({1, 2});  // never reached: would fail as a truncated header
  int n = 0;
  for (const Bytes& stream : {first.bytes(), later.bytes()}) {
    WorkbookStream ws;
    ws.open(platform::DecodeNative(WriteWorkbook(dir, stream, {}, std::to_string(n++) + ".xls")), true);
    ExpectThrowMessage<PasswordProtectedWorkbookException>(
        [&] { ReadBiffRecords(ws); }, L"Workbook stream is password protected");
  }
}

TEST(ReadBiffRecords, ZeroPaddingAfterTheLastRecordIsNotIndexed) {
  TempDir dir;
  BiffBuilder b;
  b.bof();
  b.eof();
  Bytes padded = b.bytes();
  padded.resize(4096, 0);
  const BiffRecordList list = Index(dir, padded);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_NO_THROW(ValidateBiffRecords(list));
}

TEST(ReadBiffRecords, ZeroRecordsFollowedByDataAreRecords) {
  TempDir dir;
  BiffBuilder b;
  b.bof();
  b.record(0, {});
  b.record(0, {});
  b.record(0x0200, {0, 0, 0});
  b.eof();
  const BiffRecordList list = Index(dir, b.bytes());
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[1].type, 0);
  EXPECT_EQ(list[3].dataOffset, b.dataOffset(3));
  EXPECT_EQ(list[4].type, biff::kEof);

  // Zeros that end with 1 to 3 bytes of padding that is not a whole header.
  Bytes odd = b.bytes();
  odd.resize(odd.size() + 6, 0);
  WorkbookStream ws;
  ws.open(platform::DecodeNative(WriteWorkbook(dir, odd, {}, "odd.xls")), true);
  EXPECT_EQ(ReadBiffRecords(ws).size(), 5u);
}

TEST(ValidateBiffRecords, LengthLimitComesFirst) {
  EXPECT_NO_THROW(ValidateBiffRecords(BiffRecordList{{biff::kBof, 16, 4}, {0x0200, 8224, 24}, {biff::kEof, 0, 8252}}));
  ExpectThrowMessage<IOException>(
      [] { ValidateBiffRecords(BiffRecordList{{biff::kBof, 16, 4}, {0x0200, 8225, 24}, {biff::kEof, 0, 8253}}); },
      L"I/O exception [BIFF record is too long]");
  // Also not a BOF: the length is still what is reported.
  ExpectThrowMessage<IOException>(
      [] { ValidateBiffRecords(BiffRecordList{{0x0200, 16, 4}, {0x0200, 8225, 24}, {biff::kEof, 0, 8253}}); },
      L"I/O exception [BIFF record is too long]");
}

TEST(ValidateBiffRecords, BofFirstEofLast) {
  const std::wstring message = L"I/O exception [First record is not BOF or last record is not EOF!]";
  ExpectThrowMessage<IOException>([] { ValidateBiffRecords(BiffRecordList{{biff::kBof, 0, 4}}); }, message);
  ExpectThrowMessage<IOException>(
      [] { ValidateBiffRecords(BiffRecordList{{0x0200, 0, 4}, {biff::kEof, 0, 8}}); }, message);
  // Unbalanced nesting in between is not this check's business.
  EXPECT_NO_THROW(ValidateBiffRecords(
      BiffRecordList{{biff::kBof, 0, 4}, {biff::kBof, 0, 8}, {biff::kEof, 0, 12}}));
}

namespace {

constexpr std::size_t kBlock = BiffRecordList::kBlockSize;

// An entry that differs from its neighbours in every field.
BiffRecord Entry(std::size_t i) {
  return BiffRecord{static_cast<std::uint16_t>(i * 7 + 1), static_cast<std::uint16_t>(i % 8000),
                    static_cast<std::uint32_t>(i * 13 + 4)};
}

::testing::AssertionResult Same(const BiffRecord& got, const BiffRecord& want, std::size_t i) {
  if (got.type == want.type && got.length == want.length && got.dataOffset == want.dataOffset) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "entry " << i << ": {" << got.type << ", " << got.length << ", "
                                       << got.dataOffset << "}";
}

}  // namespace

// Entries are stored in blocks: the ones on either side of a block boundary,
// and lists that end there, read back as pushed.
TEST(BiffRecordList, EntriesAcrossBlockBoundaries) {
  for (const std::size_t size : {kBlock - 1, kBlock, kBlock + 1, 2 * kBlock, 2 * kBlock + 3}) {
    BiffRecordList list;
    for (std::size_t i = 0; i < size; ++i) list.push_back(Entry(i));
    ASSERT_EQ(list.size(), size);
    EXPECT_FALSE(list.empty());
    EXPECT_TRUE(Same(list.front(), Entry(0), 0));
    EXPECT_TRUE(Same(list.back(), Entry(size - 1), size - 1)) << size;
    for (const std::size_t near : {kBlock, 2 * kBlock}) {
      for (std::size_t i = near - 2; i < near + 2 && i < size; ++i) EXPECT_TRUE(Same(list[i], Entry(i), i));
    }
    // Iteration visits every entry once, in order.
    std::size_t i = 0;
    for (const BiffRecord& record : list) {
      if (!Same(record, Entry(i), i)) {
        ADD_FAILURE() << "iteration differs at " << i;
        break;
      }
      ++i;
    }
    EXPECT_EQ(i, size);
  }
}

// A move hands the blocks over: the new owner goes on where the list was,
// and the moved-from list is empty and grows into blocks of its own.
TEST(BiffRecordList, MovesHandTheBlocksOver) {
  BiffRecordList list;
  for (std::size_t i = 0; i < kBlock + 2; ++i) list.push_back(Entry(i));
  BiffRecordList moved(std::move(list));
  ASSERT_EQ(moved.size(), kBlock + 2);
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(list.begin() == list.end());
  moved.push_back(Entry(7));
  list.push_back(Entry(8));
  ASSERT_EQ(moved.size(), kBlock + 3);
  EXPECT_TRUE(Same(moved[kBlock + 1], Entry(kBlock + 1), kBlock + 1));
  EXPECT_TRUE(Same(moved.back(), Entry(7), kBlock + 2));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_TRUE(Same(list[0], Entry(8), 0));

  // Assignment frees what the target held and takes the source's entries.
  BiffRecordList assigned{Entry(1), Entry(2), Entry(3)};
  assigned = std::move(moved);
  ASSERT_EQ(assigned.size(), kBlock + 3);
  EXPECT_TRUE(moved.empty());
  EXPECT_TRUE(Same(assigned[kBlock - 1], Entry(kBlock - 1), kBlock - 1));
  EXPECT_TRUE(Same(assigned.back(), Entry(7), kBlock + 2));
}

// What the list promises the indexing, in bulk or one at a time: kept
// entries, those not released, front() and back() read back as pushed,
// with their offsets; of the released ones that are not kept, a stretch as
// long as a block is given back once more entries follow, and asking for an
// entry given back (or walking over it) is a programming error.
TEST(BiffRecordList, KeptAndUnreleasedEntriesStayReleasedOnesGoBack) {
  for (const bool bulk : {false, true}) {
    BiffRecordList list;
    const std::size_t total = 6 * kBlock + 3;
    const std::size_t releasedBefore = 5 * kBlock + 7;
    const std::pair<std::size_t, std::size_t> keptRanges[] = {{kBlock + 10, kBlock + 20}, {3 * kBlock - 1, 3 * kBlock + 1}};
    for (const auto& [from, to] : keptRanges) list.keep(from, to);
    list.releaseBefore(releasedBefore);
    list.releaseBefore(2);  // a smaller one changes nothing
    if (bulk) {
      std::vector<std::uint32_t> packed;
      for (std::size_t i = 0; i < total; ++i) {
        packed.push_back(std::uint32_t{static_cast<std::uint16_t>(i * 7 + 1)} |
                         std::uint32_t{static_cast<std::uint16_t>(i % 5)} << 16);
      }
      list.appendFollowing(packed.data(), packed.size(), 4);
    } else {
      for (std::size_t i = 0; i < total; ++i) {
        list.push_back(BiffRecord{static_cast<std::uint16_t>(i * 7 + 1), static_cast<std::uint16_t>(i % 5), 0});
      }
    }
    ASSERT_EQ(list.size(), total);
    const auto promised = [&](std::size_t i) {
      if (i >= releasedBefore) return true;
      for (const auto& [from, to] : keptRanges) {
        if (i >= from && i < to) return true;
      }
      return false;
    };
    std::size_t givenBack = 0;
    std::uint32_t offset = 4;
    for (std::size_t i = 0; i < total; offset += 4 + static_cast<std::uint32_t>(i % 5), ++i) {
      if (!list.holds(i)) {
        ++givenBack;
        if (promised(i)) {
          ADD_FAILURE() << "entry " << i << " was given back" << (bulk ? " in bulk" : "");
          break;
        }
        try {
          list.typeAt(i);
          ADD_FAILURE() << "entry " << i << " is not held but reads";
        } catch (const std::logic_error& e) {
          EXPECT_NE(std::string(e.what()).find("BIFF record " + std::to_string(i) + " is beyond"), std::string::npos);
        }
        EXPECT_THROW(list[i], std::logic_error);
        continue;
      }
      // Records pushed one at a time all start at 0: offsets only in bulk.
      if (list.typeAt(i) != static_cast<std::uint16_t>(i * 7 + 1) || list[i].length != i % 5 ||
          (bulk && list[i].dataOffset != offset)) {
        ADD_FAILURE() << "entry " << i << " differs" << (bulk ? " in bulk" : "");
        break;
      }
    }
    EXPECT_GE(givenBack, kBlock);
    EXPECT_EQ(list.front().type, 1);
    EXPECT_EQ(list.back().type, static_cast<std::uint16_t>((total - 1) * 7 + 1));
    EXPECT_THROW(list.forEachType([](std::uint16_t) {}), std::logic_error);
    EXPECT_THROW(for (const BiffRecord& record : list) (void)record, std::logic_error);
  }
}

// Entries whose offsets do not follow one another (a list made by hand) sit
// among entries that do: every way of reading the list gives each entry as
// pushed, and the longest length is kept.
TEST(BiffRecordList, OffsetsThatDoNotFollowAreKeptAsPushed) {
  std::vector<BiffRecord> pushed;
  std::uint32_t offset = 4;
  for (std::size_t i = 0; i < 3 * BiffRecordList::kGroupSize + 5; ++i) {
    const auto length = static_cast<std::uint16_t>(i % 7 == 3 ? 8224 : i % 5);
    // Two jumps: one inside a group, one at a group's first entry.
    if (i == 21 || i == 32) offset += 1000;
    pushed.push_back(BiffRecord{static_cast<std::uint16_t>(0x0200 + i), length, offset});
    offset += biff::kHeaderSize + length;
  }
  BiffRecordList list;
  for (const BiffRecord& record : pushed) list.push_back(record);
  {
    // The same in bulk: each run of records that follow one another at once.
    BiffRecordList appended;
    std::vector<std::uint32_t> run;
    std::uint32_t runStart = pushed[0].dataOffset;
    for (std::size_t i = 0; i <= pushed.size(); ++i) {
      if (i == pushed.size() ||
          (i > 0 && pushed[i].dataOffset != pushed[i - 1].dataOffset + biff::kHeaderSize + pushed[i - 1].length)) {
        appended.appendFollowing(run.data(), run.size(), runStart);
        run.clear();
        if (i == pushed.size()) break;
        runStart = pushed[i].dataOffset;
      }
      run.push_back(std::uint32_t{pushed[i].type} | std::uint32_t{pushed[i].length} << 16);
    }
    ASSERT_EQ(appended.size(), pushed.size());
    std::size_t i = 0;
    for (const BiffRecord& record : appended) {
      EXPECT_TRUE(Same(record, pushed[i], i));
      ++i;
    }
  }
  ASSERT_EQ(list.size(), pushed.size());
  EXPECT_EQ(list.longest(), 8224);
  for (std::size_t i = 0; i < pushed.size(); ++i) {
    EXPECT_TRUE(Same(list[i], pushed[i], i));
    EXPECT_EQ(list.typeAt(i), pushed[i].type);
    EXPECT_TRUE(Same(*BiffRecordList::const_iterator(list, i), pushed[i], i));
  }
  std::size_t i = 0;
  for (const BiffRecord& record : list) {
    EXPECT_TRUE(Same(record, pushed[i], i));
    ++i;
  }
  EXPECT_EQ(i, pushed.size());
}

// The sheets found while the stream is indexed are the ones a walk over the
// finished index finds, whatever is declared. The index counts every record
// and keeps, as the full index has them, the first and the last and the
// records of each sheet the declaration names; it gives up those of the
// others (asking for one is a programming error), so that a large workbook
// is indexed in little memory. A rule that reads a sheet it did not declare
// is refused that way; one that declared it is not.
TEST(ReadBiffRecords, KeepsWhatTheRulesDeclare) {
  TempDir dir;
  BiffBuilder b;
  b.bof();
  for (std::size_t i = 0; i < 2 * kBlock; ++i) b.record(0x0200, {});
  b.eof();
  // Sheets: without drawings, suspicious, with drawings only, and a plain
  // one last.
  std::vector<std::pair<std::size_t, std::size_t>> sheetRanges;  // first and last record
  for (int sheet = 0; sheet < 4; ++sheet) {
    const std::size_t first = b.recordCount();
    b.bof();
    const std::size_t records = sheet == 3 ? kBlock + 5 : 2 * kBlock + 7;
    for (std::size_t i = 0; i < records; ++i) {
      b.record(0x0203, Bytes(i % 3, static_cast<std::uint8_t>(i)));
      if (sheet == 1 && i == kBlock) {
        b.bof();
        b.record(biff::kMsoDrawing, Bytes(8, 0));
        b.eof();
        b.record(biff::kMsoDrawing, Bytes(8, 0));
      }
      if (sheet == 2 && i == 3) b.record(biff::kMsoDrawing, Bytes(8, 0));
    }
    b.eof();
    sheetRanges.emplace_back(first, b.recordCount() - 1);
  }
  WorkbookStream ws;
  ws.open(platform::DecodeNative(WriteWorkbook(dir, b.bytes(), {}, "sheets.xls")), true);
  const BiffRecordList all = ReadBiffRecords(ws);
  const std::vector<SheetSubstream> walked = FindSheetSubstreams(all);
  ASSERT_EQ(walked.size(), 4u);
  EXPECT_EQ(std::vector<bool>({walked[0].suspicious, walked[1].suspicious, walked[2].suspicious}),
            std::vector<bool>({false, true, false}));
  EXPECT_EQ(std::vector<bool>({walked[0].drawingFree, walked[1].drawingFree, walked[2].drawingFree}),
            std::vector<bool>({true, false, false}));

  const ContainerIntegrityRule integrity;
  const struct {
    RecordNeeds needs;
    bool kept[4];  // each sheet's records
  } cases[] = {
      {RecordNeeds::kFirstAndLast, {false, false, false, false}},
      {RecordNeeds::kSuspiciousSheets, {false, true, false, false}},
      {NeedsOf({&integrity}), {false, true, true, false}},
      {RecordNeeds(RecordNeeds::kSuspiciousSheets) | RecordNeeds::kSheetsWithDrawings, {false, true, true, false}},
      {RecordNeeds::kAllRecords, {true, true, true, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
    ws.seek(0, SeekFromStart);
    SheetFinder finder;
    const RecordIndex list = ReadBiffRecords(ws, finder, c.needs);
    EXPECT_EQ(list.needs(), c.needs);
    const std::vector<SheetSubstream> found = finder.take();
    ASSERT_EQ(found.size(), walked.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].bofIndex, walked[i].bofIndex);
      EXPECT_EQ(found[i].bofIndex, sheetRanges[i].first);
      EXPECT_EQ(found[i].suspicious, walked[i].suspicious);
      EXPECT_EQ(found[i].drawingFree, walked[i].drawingFree);
    }
    ASSERT_EQ(list.size(), all.size());
    ASSERT_EQ(list.size(), b.recordCount());
    EXPECT_TRUE(Same(list.front(), all.front(), 0));
    EXPECT_TRUE(Same(list.back(), all.back(), all.size() - 1));
    EXPECT_NO_THROW(ValidateBiffRecords(list));
    for (std::size_t s = 0; s < sheetRanges.size(); ++s) {
      const auto [first, last] = sheetRanges[s];
      if (c.kept[s]) {
        for (std::size_t i = first; i <= last; ++i) {
          if (!list.holds(i) || !Same(list[i], all[i], i) || list.typeAt(i) != all.typeAt(i)) {
            ADD_FAILURE() << "sheet " << s << " differs at " << i;
            break;
          }
        }
      } else if (s + 1 < sheetRanges.size()) {
        // A block inside a sheet that more records follow is given up.
        const std::size_t inside = (first / kBlock + 1) * kBlock + kBlock / 2;
        EXPECT_FALSE(list.holds(inside)) << "sheet " << s;
        EXPECT_THROW(list.typeAt(inside), std::logic_error) << "sheet " << s;
        EXPECT_THROW(list[inside], std::logic_error) << "sheet " << s;
      }
    }
    // The globals are never needed but with every record.
    EXPECT_EQ(list.holds(kBlock / 2), c.needs.all());
    // The container rule on the sheet with drawings alone: refused as a
    // programming error unless it was declared, the workbook's own fault
    // (its drawing record is zeros) when it was.
    const RuleInput in{list, ws, ConsoleLineSink()};
    if (c.kept[2]) {
      EXPECT_THROW(integrity.check(found[2], in), Exception);
    } else {
      EXPECT_THROW(integrity.check(found[2], in), std::logic_error);
    }
  }
}

// A stream of more records than one block holds: every record's type,
// length and data offset, and the EOF found last.
TEST(ReadBiffRecords, IndexesStreamsOfSeveralBlocks) {
  TempDir dir;
  BiffBuilder b;
  b.bof();
  for (std::size_t i = 1; i < kBlock + 5; ++i) {
    b.record(static_cast<std::uint16_t>(0x0200 + i % 3), Bytes(i % 5, static_cast<std::uint8_t>(i)));
  }
  b.eof();
  const BiffRecordList list = Index(dir, b.bytes());
  ASSERT_EQ(list.size(), kBlock + 6);
  for (std::size_t i = 1; i < kBlock + 5; ++i) {
    const BiffRecord want{static_cast<std::uint16_t>(0x0200 + i % 3), static_cast<std::uint16_t>(i % 5),
                          b.dataOffset(static_cast<std::uint32_t>(i))};
    if (!Same(list[i], want, i)) {
      ADD_FAILURE() << "index differs at " << i;
      break;
    }
  }
  EXPECT_EQ(list.back().dataOffset, b.dataOffset(static_cast<std::uint32_t>(kBlock + 5)));
  EXPECT_NO_THROW(ValidateBiffRecords(list));
}

// A sector chain that ends inside the last record's data: the record-by-
// record reading never reads those bytes, so the index is whole, however the
// records are read; a header beyond the chain's end fails as a read.
TEST(ReadBiffRecords, AChainCutInsideTheLastRecordsDataStillIndexes) {
  BiffBuilder b;
  b.bof();
  for (int i = 0; i < 50; ++i) b.record(0x0203, Bytes(14, static_cast<std::uint8_t>(i)));
  b.record(0x00FC, Bytes(6000, 0x55));  // runs over several sectors
  const Bytes whole = b.bytes();
  for (const bool headerBeyond : {false, true}) {
    Bytes stream = whole;
    if (headerBeyond) {
      BiffBuilder tail;
      tail.eof();
      stream.insert(stream.end(), tail.bytes().begin(), tail.bytes().end());
    }
    testsupport::CfbWriter writer;
    const int node = writer.addStream(testsupport::CfbWriter::kRoot, u"Workbook", stream);
    Bytes file = writer.build();
    const std::vector<std::uint32_t>& chain = writer.chain(node);
    ASSERT_GE(chain.size(), 4u);
    // The chain ends two sectors before the stream does.
    const std::uint64_t at = writer.fatEntryOffset(chain[chain.size() - 3]);
    for (int k = 0; k < 4; ++k) file[at + k] = static_cast<std::uint8_t>(platform::cfb::kEndOfChain >> (8 * k));
    auto bytes = std::make_shared<Bytes>(file);
    std::shared_ptr<platform::Storage> storage;
    ASSERT_EQ(platform::Storage::openMemory(bytes, platform::StorageMode::kReadDenyWrite, storage), S_OK);
    WorkbookStream ws;
    ws.openOnStorage(storage, L"book.xls");
    if (!headerBeyond) {
      const BiffRecordList list = ReadBiffRecords(ws);
      ASSERT_EQ(list.size(), 52u);
      EXPECT_EQ(list.back().length, 6000);
      EXPECT_EQ(list.back().dataOffset, b.dataOffset(51));
    } else {
      EXPECT_THROW(ReadBiffRecords(ws), IOException);
    }
  }
}
