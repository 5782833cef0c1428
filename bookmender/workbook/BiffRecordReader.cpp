#include "workbook/BiffRecordReader.h"

#include <algorithm>
#include <array>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "errors/Exception.h"
#include "platform/byte_reader.h"
#include "platform/memory.h"
#include "workbook/SubstreamDiscovery.h"
#include "workbook/ZeroPaddingMend.h"

namespace bookmender {

void BiffRecordList::addBlock() {
  giveUpReleasedBlocks();
  if (!spare_.empty()) {
    // Already resident: the memory of entries no one will ask for.
    blocks_.push_back(std::move(spare_.back()));
    spare_.pop_back();
    return;
  }
  BlockPtr block(static_cast<Block*>(::operator new(sizeof(Block))));
  // Made resident in one step rather than a page fault at a time: the block
  // is about to be filled.
  platform::PrepareForWriting(block.get(), sizeof(Block));
  blocks_.push_back(std::move(block));
}

void BiffRecordList::giveUpReleasedBlocks() {
  const std::size_t end = std::min(releasedBefore_, size_);
  std::size_t b = nextToGiveUp_;
  for (; (b + 1) * kBlockSize <= end; ++b) {
    if (b < keptBlocks_.size() && keptBlocks_[b]) continue;
    if (blocks_[b] == nullptr) continue;
    spare_.push_back(std::move(blocks_[b]));  // unique_ptr's move cannot throw: on bad_alloc it stays
  }
  nextToGiveUp_ = b;
}

void BiffRecordList::keep(std::size_t from, std::size_t to) {
  if (from >= to) return;
  const std::size_t last = (to - 1) >> kBlockShift;
  if (keptBlocks_.size() <= last) keptBlocks_.resize(last + 1, false);
  for (std::size_t b = from >> kBlockShift; b <= last; ++b) keptBlocks_[b] = true;
}

void RecordIndex::NotKept(std::size_t i) {
  throw std::logic_error("BIFF record " + std::to_string(i) + " is beyond what the index was declared to keep");
}

std::uint32_t RecordIndex::offsetAt(std::size_t i) const {
  const std::size_t group = i >> kGroupShift;
  if (!loose_.empty()) {
    const auto found = std::lower_bound(loose_.begin(), loose_.end(), group,
                                        [](const LooseGroup& g, std::size_t n) { return g.group < n; });
    if (found != loose_.end() && found->group == group) return found->offsets[i & (kGroupSize - 1)];
  }
  const Block& block = blockOf(i);
  const std::size_t first = i & kBlockMask & ~(kGroupSize - 1);
  std::uint32_t offset = block.checkpoints[first >> kGroupShift];
  for (std::size_t j = first; j < (i & kBlockMask); ++j) offset += biff::kHeaderSize + LengthOf(block.entries[j]);
  return offset;
}

void BiffRecordList::makeLoose(std::size_t group, std::uint32_t offset) {
  LooseGroup loose{};
  loose.group = group;
  for (std::size_t j = group << kGroupShift; j < size_; ++j) loose.offsets[j & (kGroupSize - 1)] = offsetAt(j);
  loose.offsets[size_ & (kGroupSize - 1)] = offset;
  loose_.push_back(loose);
}

namespace {

// The common case, fast: record headers read straight out of large reads of
// the stream, instead of one small read and one seek per record. It stops at
// the first record that needs a decision of the record-by-record loop below
// (the last bytes of the stream, a zero header that may be padding, a record
// that runs past the end, a read that fails or comes up short) and leaves
// `position` at that record's header, so the loop answers exactly as if it
// had read every record itself.
// Hands each type on when there is a finder, at no cost when there is none,
// and with `records` set releases what the needs do not cover as the finder
// says where each top-level substream lies: nothing after the index asks
// for the workbook globals, the records between sheets or the sheets the
// needs leave out.
template <bool kFinding>
struct TypeSink {
  SheetFinder* finder;
  BiffRecordList* records;
  RecordNeeds needs;
  void operator()(std::uint16_t type, std::size_t index) const {
    if (!kFinding || !SheetFinder::Matters(type)) return;
    const std::size_t found = finder->found();
    finder->step(type, static_cast<std::uint32_t>(index));
    if (records == nullptr || finder->depth() > 1) return;
    if (type == biff::kBof && finder->depth() == 1) {
      records->releaseBefore(index);
    } else if (type == biff::kEof && finder->depth() == 0) {
      if (finder->found() != found) {
        const SheetSubstream& sheet = finder->last();
        if (needs.sheet(sheet.suspicious, !sheet.drawingFree)) records->keep(sheet.bofIndex, index + 1);
      }
      records->releaseBefore(index + 1);
    }
  }
  // Every record before `next` has been handed over: unless a sheet is
  // under way, none of them is needed.
  void handedBefore(std::size_t next) const {
    if (kFinding && records != nullptr && !finder->inSheet()) records->releaseBefore(next);
  }
};

// By the low byte of a record's type: whether it may be one that the scan
// stops at (FILEPASS, a zero header) or that the sheet finder is handed.
constexpr std::array<bool, 256> kMayMatter = [] {
  std::array<bool, 256> table{};
  for (const std::uint16_t type : {biff::kFilePass, std::uint16_t{0}, biff::kBof, biff::kEof, biff::kMsoDrawing}) {
    table[type & 0xFF] = true;
  }
  return table;
}();
constexpr bool EveryTypeTheFinderWantsMayMatter() {
  for (std::uint32_t type = 0; type <= 0xFFFF; ++type) {
    if (SheetFinder::Matters(static_cast<std::uint16_t>(type)) && !kMayMatter[type & 0xFF]) return false;
  }
  return true;
}
static_assert(EveryTypeTheFinderWantsMayMatter(), "a type the finder is handed would pass by");

template <bool kFinding>
void IndexFromLargeReads(WorkbookStream& stream, std::uint32_t& position, BiffRecordList& records,
                         TypeSink<kFinding> sink) {
  // Small enough that what a read brings in is still in the cache when the
  // headers are taken out of it.
  constexpr std::uint32_t kReadSize = 128u << 10;
  const std::uint64_t size = stream.size();
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kReadSize]);
  std::uint64_t at = position;
  bool stop = false;
  while (!stop && size - at >= biff::kHeaderSize) {
    const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(kReadSize, size - at));
    std::uint32_t got = 0;
    try {
      stream.seek(static_cast<std::uint32_t>(at), SeekFromStart);
      got = stream.read(buffer.get(), want);
    } catch (const IOException&) {
      break;  // the loop below reads only what it must, and says why it fails
    }
    if (got < biff::kHeaderSize) break;
    // Offsets in the buffer, which holds the stream from `at`: one record's
    // length leads to the next header with nothing else on that path.
    const std::uint8_t* const held = buffer.get();
    const std::uint64_t limit = size - at;  // no record may end beyond the stream
    std::uint64_t o = 0;
    records.appendWhile(
        static_cast<std::uint32_t>(at + biff::kHeaderSize),
        [&](std::uint32_t& entry, std::size_t index) {
          if (o + biff::kHeaderSize > got) return false;
          const std::uint16_t type = platform::LoadU16(held + o);
          const std::uint16_t length = platform::LoadU16(held + o + 2);
          const std::uint64_t next = o + biff::kHeaderSize + length;
          // One test lets nearly every record through; the few it stops (by
          // the low byte of their type, or a record running past the buffer)
          // get the full tests.
          if (kMayMatter[type & 0xFF] || next > got) {
            if (type == biff::kFilePass) throw PasswordProtectedWorkbookException();
            if ((type == 0 && length == 0) || next > limit) {
              stop = true;
              return false;
            }
            sink(type, index);
          }
          entry = std::uint32_t{type} | std::uint32_t{length} << 16;
          o = next;
          return true;
        },
        [&sink](std::size_t entries) { sink.handedBefore(entries); });
    at += o;
  }
  position = static_cast<std::uint32_t>(at);
  stream.seek(position, SeekFromStart);
}

template <bool kFinding>
BiffRecordList IndexRecords(WorkbookStream& stream, TypeSink<kFinding> sink) {
  BiffRecordList records;
  if (kFinding) {
    records.declare(sink.needs);
    if (!sink.needs.all()) sink.records = &records;
  }
  ZeroPaddingMend padding;
  // Each record moves the position by exactly its header and data, so the
  // position is asked for once and then followed here.
  std::uint32_t position = stream.tell();
  IndexFromLargeReads(stream, position, records, sink);
  for (;;) {
    std::uint8_t header[biff::kHeaderSize] = {};
    const std::uint32_t got = stream.read(header, sizeof header);
    if (got == 0) return records;
    if (got < sizeof header) {
      // One to three zero bytes after the last record are padding too short
      // for a header (writers leave streams of odd length); anything else
      // is a torn header.
      if (std::all_of(header, header + got, [](std::uint8_t b) { return b == 0; })) return records;
      throw IOException(MessageDetail(L"Reached end of stream while trying to read BIFF header"));
    }
    const std::uint16_t type = platform::LoadU16(header);
    const std::uint16_t length = platform::LoadU16(header + 2);
    if (type == biff::kFilePass) throw PasswordProtectedWorkbookException();
    if (type == 0 && length == 0 && padding.restIsZero(stream, position)) return records;
    stream.seek(length, SeekFromCurrent);
    records.push_back(BiffRecord{type, length, position + biff::kHeaderSize});
    sink(type, records.size() - 1);
    position += biff::kHeaderSize + length;
  }
}

template <bool kFinding>
BiffRecordList Index(WorkbookStream& stream, TypeSink<kFinding> sink) {
  try {
    return IndexRecords(stream, sink);
  } catch (const std::bad_alloc&) {
    // A stream of very many records can need more memory than the process
    // may have: the workbook is too large to index here, not a crash.
    throw IOException(MessageDetail(L"Not enough memory to index a Workbook stream of " +
                                    std::to_wstring(stream.size()) + L" bytes"));
  }
}

}  // namespace

BiffRecordList ReadBiffRecords(WorkbookStream& stream) {
  return Index(stream, TypeSink<false>{nullptr, nullptr, RecordNeeds::kAllRecords});
}

BiffRecordList ReadBiffRecords(WorkbookStream& stream, SheetFinder& sheets, RecordNeeds needs) {
  return Index(stream, TypeSink<true>{&sheets, nullptr, needs});
}

void ValidateBiffRecords(const RecordIndex& records) {
  // The list keeps its longest length as it grows: no pass over the entries.
  if (records.longest() > kMaxBiffRecordLength) throw IOException(MessageDetail(L"BIFF record is too long"));
  if (records.empty() || records.front().type != biff::kBof || records.back().type != biff::kEof) {
    throw IOException(MessageDetail(L"First record is not BOF or last record is not EOF!"));
  }
}

}  // namespace bookmender
