// Builds the index of the Workbook stream (workbook/RecordIndex.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <initializer_list>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "workbook/BiffFormat.h"
#include "workbook/RecordIndex.h"
#include "workbook/WorkbookStream.h"

namespace bookmender {

using biff::kMaxBiffRecordLength;

// The index while it is filled: entries are appended and the indexing says
// which ones will be asked for.
//
// Its blocks never move: growing the list copies nothing, so at its peak it
// holds its entries, one block partly filled and the block table. (A vector
// that doubles holds its old and new buffers at once: up to three times its
// entries.)
//
// The indexing may say which entries will never be asked for again (keep()
// and releaseBefore()): a block all of whose entries are such is given up
// and filled anew, so a workbook of many sheets without drawings is indexed
// in a few blocks.
class BiffRecordList : public RecordIndex {
 public:
  BiffRecordList() = default;
  BiffRecordList(std::initializer_list<BiffRecord> records) {
    for (const BiffRecord& record : records) push_back(record);
  }
  // A moved-from list is empty: it must not go on writing into the blocks
  // it gave away.
  BiffRecordList(BiffRecordList&& other) noexcept = default;
  BiffRecordList& operator=(BiffRecordList&& other) noexcept = default;
  BiffRecordList(const BiffRecordList&) = delete;
  BiffRecordList& operator=(const BiffRecordList&) = delete;
  ~BiffRecordList() = default;

  // Throws std::bad_alloc, the list unchanged, when a new block or a loose
  // group is needed and there is no memory for it.
  void push_back(const BiffRecord& record) {
    if (size_ == blocks_.size() * kBlockSize) addBlock();
    Block& block = *blocks_.back();
    const std::size_t at = size_ & kBlockMask;
    const std::size_t group = size_ >> kGroupShift;
    if ((size_ & (kGroupSize - 1)) == 0) {
      block.checkpoints[at >> kGroupShift] = record.dataOffset;
    } else if (!loose_.empty() && loose_.back().group == group) {
      loose_.back().offsets[size_ & (kGroupSize - 1)] = record.dataOffset;
    } else if (std::uint64_t{nextOffset_} != record.dataOffset) {
      makeLoose(group, record.dataOffset);
    }
    block.entries[at] = std::uint32_t{record.type} | std::uint32_t{record.length} << 16;
    if (size_ == 0) first_ = record;
    nextOffset_ = std::uint64_t{record.dataOffset} + biff::kHeaderSize + record.length;
    if (record.length > longest_) longest_ = record.length;
    ++size_;
  }

  // Appends the entries `next(entry, index)` gives, packed as
  // `type | length << 16`, until it answers false: records that follow one
  // another in the stream, the first one's data at `firstOffset`; `index` is
  // the entry's position in the list. The indexing's bulk step: each entry
  // goes straight into its block. `full(size)` is called before a block is
  // added, with the entries appended so far. Throws std::bad_alloc when a
  // block is needed and there is no memory for it, the entries before that
  // one appended.
  template <class Next, class Full>
  void appendWhile(std::uint32_t firstOffset, Next&& next, Full&& full) {
    std::uint32_t entry = 0;
    // A list that holds loose groups, or is about to, takes one entry at a
    // time. (One call of `next` in all, so that it is inlined.)
    const bool oneByOne = !loose_.empty() || ((size_ & (kGroupSize - 1)) != 0 && nextOffset_ != firstOffset);
    const bool wasEmpty = size_ == 0;
    // Kept in locals, and stored back only before a block is added and at
    // the end, so that the loop keeps them in registers.
    std::uint64_t offset = firstOffset;
    std::uint16_t longest = longest_;
    Block* block = blocks_.empty() ? nullptr : blocks_.back().get();
    std::size_t index = size_;
    const auto store = [&] {
      // Noted before any block can be given up.
      if (wasEmpty && size_ == 0 && index != 0) {
        first_ = BiffRecord{TypeOf(blocks_[0]->entries[0]), LengthOf(blocks_[0]->entries[0]), firstOffset};
      }
      size_ = index;
      nextOffset_ = offset;
      longest_ = longest;
    };
    while (next(entry, index)) {
      if (oneByOne) {
        push_back(BiffRecord{TypeOf(entry), LengthOf(entry), static_cast<std::uint32_t>(offset)});
        offset += biff::kHeaderSize + LengthOf(entry);
        ++index;
        continue;
      }
      const std::size_t k = index & kBlockMask;
      // A block is added only once an entry for it is at hand: the last
      // entry is always in the last block.
      if (k == 0 && index == blocks_.size() * kBlockSize) {
        store();
        full(size_);
        addBlock();
        block = blocks_.back().get();
      }
      if ((k & (kGroupSize - 1)) == 0) block->checkpoints[k >> kGroupShift] = static_cast<std::uint32_t>(offset);
      block->entries[k] = entry;
      const std::uint16_t length = LengthOf(entry);
      offset += biff::kHeaderSize + length;
      longest = std::max(longest, length);
      ++index;
    }
    if (!oneByOne) store();
  }
  // The same for `count` entries at `packed`.
  void appendFollowing(const std::uint32_t* packed, std::size_t count, std::uint32_t firstOffset) {
    std::size_t i = 0;
    appendWhile(
        firstOffset,
        [&](std::uint32_t& entry, std::size_t) {
          if (i == count) return false;
          entry = packed[i++];
          return true;
        },
        [](std::size_t) {});
  }

  // Entries [from, to) will be asked for: their blocks are never given up,
  // whatever is released. `to` may lie beyond the entries pushed so far.
  // Throws std::bad_alloc, the list unchanged, when there is no memory to
  // note it.
  void keep(std::size_t from, std::size_t to);
  // Entries before `index` will not be asked for, unless kept. Only blocks
  // that are full are given up, when the next block is needed; `index` may
  // lie beyond the entries pushed so far, and a smaller one than before
  // changes nothing.
  void releaseBefore(std::size_t index) { releasedBefore_ = std::max(releasedBefore_, index); }
  // Notes what the keep() calls were made for (RecordIndex::needs()).
  void declare(RecordNeeds needs) { needs_ = needs; }

 private:
  void addBlock();
  // Blocks that are full, wholly released and not kept go to spare_.
  void giveUpReleasedBlocks();
  // Moves the offsets of the open group, whose next entry does not follow
  // the one before, aside.
  void makeLoose(std::size_t group, std::uint32_t offset);
};

class SheetFinder;

// Indexes every record from the current position (the start of the stream)
// to the end. Throws PasswordProtectedWorkbookException at a FILEPASS record
// and IOException when the stream ends inside a header or a record's data.
// Zero bytes that fill the stream from a record boundary to its end are the
// padding some writers add after the last record; they are not indexed.
BiffRecordList ReadBiffRecords(WorkbookStream& stream);
// The same, with every record's type handed to `sheets` as it is read
// (workbook/SubstreamDiscovery.h), so that finding the sheets is no pass of
// its own. The list counts every record but keeps only what `needs`
// declares, as the sheets found say where each sheet lies and what it is.
BiffRecordList ReadBiffRecords(WorkbookStream& stream, SheetFinder& sheets, RecordNeeds needs);

// No record longer than kMaxBiffRecordLength; a BOF first and an EOF last.
void ValidateBiffRecords(const RecordIndex& records);

}  // namespace bookmender
