#include "workbook/BiffRecordReader.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "errors/Exception.h"
#include "platform/byte_reader.h"
#include "platform/memory.h"
#include "workbook/SubstreamDiscovery.h"

namespace bookmender {

void BiffRecordList::addBlock() {
  BlockPtr block(static_cast<Block*>(::operator new(sizeof(Block))));
  // Made resident in one step rather than a page fault at a time: the block
  // is about to be filled.
  platform::PrepareForWriting(block.get(), sizeof(Block));
  blocks_.push_back(std::move(block));
}

std::uint32_t BiffRecordList::offsetAt(std::size_t i) const {
  const std::size_t group = i >> kGroupShift;
  if (!loose_.empty()) {
    const auto found = std::lower_bound(loose_.begin(), loose_.end(), group,
                                        [](const LooseGroup& g, std::size_t n) { return g.group < n; });
    if (found != loose_.end() && found->group == group) return found->offsets[i & (kGroupSize - 1)];
  }
  const Block& block = *blocks_[i >> kBlockShift];
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

void BiffRecordList::appendFollowing(const std::uint32_t* packed, std::size_t count, std::uint32_t firstOffset) {
  if (count == 0) return;
  if (!loose_.empty() || ((size_ & (kGroupSize - 1)) != 0 && nextOffset_ != firstOffset)) {
    // A list that holds loose groups, or is about to: one entry at a time.
    std::uint32_t offset = firstOffset;
    for (std::size_t i = 0; i < count; ++i) {
      push_back(BiffRecord{TypeOf(packed[i]), LengthOf(packed[i]), offset});
      offset += biff::kHeaderSize + LengthOf(packed[i]);
    }
    return;
  }
  // Kept in locals so that the loop does not store them back on every entry.
  std::uint64_t offset = firstOffset;
  std::uint16_t longest = longest_;
  std::size_t done = 0;
  while (done < count) {
    if (size_ == blocks_.size() * kBlockSize) addBlock();
    Block& block = *blocks_.back();
    const std::size_t at = size_ & kBlockMask;
    const std::size_t take = std::min(count - done, kBlockSize - at);
    for (std::size_t k = 0; k < take; ++k) {
      const std::uint32_t entry = packed[done + k];
      if (((at + k) & (kGroupSize - 1)) == 0) {
        block.checkpoints[(at + k) >> kGroupShift] = static_cast<std::uint32_t>(offset);
      }
      block.entries[at + k] = entry;
      const std::uint16_t length = LengthOf(entry);
      offset += biff::kHeaderSize + length;
      longest = std::max(longest, length);
    }
    size_ += take;
    done += take;
    nextOffset_ = offset;
    longest_ = longest;
  }
}

namespace {

// Tells whether every byte from `position` to the end of the stream is zero,
// remembering the first non-zero byte it met so that a long run of zero
// headers followed by data is scanned once, not once per header.
class PaddingProbe {
 public:
  // `position` is a record boundary whose 4-byte header has just been read;
  // when the answer is false the stream is left right after that header.
  bool restIsZero(WorkbookStream& stream, std::uint32_t position) {
    if (position < knownNonZero_) return false;
    stream.seek(position, SeekFromStart);
    std::uint8_t buffer[16384];
    std::uint64_t at = position;
    for (;;) {
      const std::uint32_t n = stream.read(buffer, sizeof buffer);
      if (n == 0) break;
      for (std::uint32_t i = 0; i < n; ++i) {
        if (buffer[i] != 0) {
          knownNonZero_ = at + i;
          stream.seek(position + biff::kHeaderSize, SeekFromStart);
          return false;
        }
      }
      at += n;
    }
    return true;
  }

 private:
  std::uint64_t knownNonZero_ = 0;  // records at or after this point are scanned again
};

// The common case, fast: record headers read straight out of large reads of
// the stream, instead of one small read and one seek per record. It stops at
// the first record that needs a decision of the record-by-record loop below
// (the last bytes of the stream, a zero header that may be padding, a record
// that runs past the end, a read that fails or comes up short) and leaves
// `position` at that record's header, so the loop answers exactly as if it
// had read every record itself.
// Hands each type on when there is a finder, at no cost when there is none.
template <bool kFinding>
struct TypeSink {
  SheetFinder* finder;
  void operator()(std::uint16_t type, std::size_t index) const {
    if (kFinding && SheetFinder::Matters(type)) finder->step(type, static_cast<std::uint32_t>(index));
  }
};

template <bool kFinding>
void IndexFromLargeReads(WorkbookStream& stream, std::uint32_t& position, BiffRecordList& records,
                         TypeSink<kFinding> sink) {
  // Small enough that what a read brings in is still in the cache when the
  // headers are taken out of it.
  constexpr std::uint32_t kReadSize = 128u << 10;
  const std::uint64_t size = stream.size();
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kReadSize]);
  // A buffer's headers are taken out first, into `staged`, and then added to
  // the list in one step: each loop keeps its few values in registers.
  std::unique_ptr<std::uint32_t[]> staged(new std::uint32_t[kReadSize / biff::kHeaderSize]);
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
    const std::size_t first = records.size();
    std::uint32_t* const out = staged.get();
    std::size_t n = 0;
    std::uint64_t o = 0;
    while (o + biff::kHeaderSize <= got) {
      const std::uint16_t type = platform::LoadU16(held + o);
      const std::uint16_t length = platform::LoadU16(held + o + 2);
      if (type == biff::kFilePass) throw PasswordProtectedWorkbookException();
      const std::uint64_t next = o + biff::kHeaderSize + length;
      if ((type == 0 && length == 0) || next > limit) {
        stop = true;
        break;
      }
      out[n] = std::uint32_t{type} | std::uint32_t{length} << 16;
      sink(type, first + n);
      ++n;
      o = next;
    }
    records.appendFollowing(out, n, static_cast<std::uint32_t>(at + biff::kHeaderSize));
    at += o;
  }
  position = static_cast<std::uint32_t>(at);
  stream.seek(position, SeekFromStart);
}

template <bool kFinding>
BiffRecordList IndexRecords(WorkbookStream& stream, TypeSink<kFinding> sink) {
  BiffRecordList records;
  PaddingProbe padding;
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

BiffRecordList ReadBiffRecords(WorkbookStream& stream) { return Index(stream, TypeSink<false>{nullptr}); }

BiffRecordList ReadBiffRecords(WorkbookStream& stream, SheetFinder& sheets) {
  return Index(stream, TypeSink<true>{&sheets});
}

void ValidateBiffRecords(const BiffRecordList& records) {
  // The list keeps its longest length as it grows: no pass over the entries.
  if (records.longest() > kMaxBiffRecordLength) throw IOException(MessageDetail(L"BIFF record is too long"));
  if (records.empty() || records.front().type != biff::kBof || records.back().type != biff::kEof) {
    throw IOException(MessageDetail(L"First record is not BOF or last record is not EOF!"));
  }
}

}  // namespace bookmender
