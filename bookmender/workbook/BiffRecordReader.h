// The index of the Workbook stream: one entry per BIFF record header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "workbook/BiffFormat.h"
#include "workbook/WorkbookStream.h"

namespace bookmender {

using biff::kMaxBiffRecordLength;

struct BiffRecord {
  std::uint16_t type = 0;
  std::uint16_t length = 0;
  std::uint32_t dataOffset = 0;  // stream offset of the first data byte
};

// Entries in stream order; an entry's position is its record number.
//
// An entry is kept in 4 bytes, its type and length. Its data offset is not
// stored: in a stream each record starts right after the one before, so the
// offset is the last checkpoint's (one per group of 16 entries) plus the
// headers and lengths between. A list made by hand may hold entries whose
// offsets do not follow: their whole group's offsets are then kept aside.
// That is 4.25 bytes an entry, where a plain array of BiffRecord takes 8.
//
// Entries live in fixed-size blocks that never move: growing the list copies
// nothing, so at its peak it holds its entries, one block partly filled and
// the block table. (A vector that doubles holds its old and new buffers at
// once: up to three times its entries.)
//
// The indexing may say which entries will never be asked for again (keep()
// and releaseBefore()): a block all of whose entries are such is given up
// and filled anew, so a workbook of many sheets without drawings is indexed
// in a few blocks. Asking for an entry that was given up throws.
class BiffRecordList {
 public:
  static constexpr std::size_t kBlockShift = 16;  // 64 Ki entries a block
  static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockShift;
  static constexpr std::size_t kBlockMask = kBlockSize - 1;
  static constexpr std::size_t kGroupShift = 4;   // one checkpoint per 16 entries
  static constexpr std::size_t kGroupSize = std::size_t{1} << kGroupShift;

 private:
  // Raw memory: an entry comes to life when it is pushed, so the unused part
  // of the last block is never written and takes no resident memory.
  struct Block {
    std::uint32_t entries[kBlockSize];                    // type | length << 16
    std::uint32_t checkpoints[kBlockSize / kGroupSize];  // data offset of each group's first entry
  };
  struct FreeBlock {
    void operator()(Block* block) const { ::operator delete(block); }
  };
  using BlockPtr = std::unique_ptr<Block, FreeBlock>;
  // The offsets of a group whose entries do not follow one another.
  struct LooseGroup {
    std::size_t group;
    std::uint32_t offsets[kGroupSize];
  };

  static std::uint16_t TypeOf(std::uint32_t entry) { return static_cast<std::uint16_t>(entry); }
  static std::uint16_t LengthOf(std::uint32_t entry) { return static_cast<std::uint16_t>(entry >> 16); }

 public:
  // Walks the entries in order, following the data offset from one entry to
  // the next; an entry is given by value.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = BiffRecord;
    using difference_type = std::ptrdiff_t;
    using reference = BiffRecord;
    struct pointer {
      BiffRecord record;
      const BiffRecord* operator->() const { return &record; }
    };

    const_iterator(const BiffRecordList& list, std::size_t index)
        : list_(&list), block_(list.walkBlock(index)), index_(index) {
      if (block_ != nullptr) offset_ = list.offsetAt(index_);
    }
    BiffRecord operator*() const {
      const std::uint32_t entry = block_->entries[index_ & kBlockMask];
      return BiffRecord{TypeOf(entry), LengthOf(entry), offset_};
    }
    pointer operator->() const { return pointer{**this}; }
    const_iterator& operator++() {
      const std::uint32_t length = LengthOf(block_->entries[index_ & kBlockMask]);
      ++index_;
      if ((index_ & kBlockMask) == 0) block_ = list_->walkBlock(index_);
      if (list_->loose_.empty()) {
        offset_ += biff::kHeaderSize + length;
      } else if (index_ < list_->size_) {
        offset_ = list_->offsetAt(index_);  // a list made by hand: rare and short
      }
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const const_iterator& other) const { return index_ == other.index_; }
    bool operator!=(const const_iterator& other) const { return index_ != other.index_; }

   private:
    const BiffRecordList* list_;
    const Block* block_;  // null past the last entry
    std::size_t index_;
    std::uint32_t offset_ = 0;  // of the entry at index_
  };

  BiffRecordList() = default;
  BiffRecordList(std::initializer_list<BiffRecord> records) {
    for (const BiffRecord& record : records) push_back(record);
  }
  // A moved-from list is empty: it must not go on writing into the blocks
  // it gave away.
  BiffRecordList(BiffRecordList&& other) noexcept { swap(other); }
  BiffRecordList& operator=(BiffRecordList&& other) noexcept {
    BiffRecordList taken(std::move(other));
    swap(taken);
    return *this;
  }
  // An index can be tens of megabytes: it is moved, never copied.
  BiffRecordList(const BiffRecordList&) = delete;
  BiffRecordList& operator=(const BiffRecordList&) = delete;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The longest record's length, 0 for an empty list.
  std::uint16_t longest() const { return longest_; }

  BiffRecord operator[](std::size_t i) const {
    const std::uint32_t entry = kept(i).entries[i & kBlockMask];
    return BiffRecord{TypeOf(entry), LengthOf(entry), offsetAt(i)};
  }
  // The type alone, without working out the offset.
  std::uint16_t typeAt(std::size_t i) const { return TypeOf(kept(i).entries[i & kBlockMask]); }
  // The first entry is kept whatever is given up.
  BiffRecord front() const { return first_; }
  BiffRecord back() const { return (*this)[size_ - 1]; }
  const_iterator begin() const { return const_iterator(*this, 0); }
  const_iterator end() const { return const_iterator(*this, size_); }

  // Calls `visit(type)` for every entry in order: the quickest walk, for a
  // pass that looks at nothing but the types.
  template <class Visit>
  void forEachType(Visit&& visit) const {
    std::size_t left = size_;
    for (const BlockPtr& block : blocks_) {
      const std::size_t n = std::min(left, kBlockSize);
      if (block == nullptr) NotKept(size_ - left);
      for (std::size_t k = 0; k < n; ++k) visit(TypeOf(block->entries[k]));
      left -= n;
    }
  }

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

 private:
  void addBlock();
  // Blocks that are full, wholly released and not kept go to spare_.
  void giveUpReleasedBlocks();
  [[noreturn]] static void NotKept(std::size_t i);
  const Block& kept(std::size_t i) const {
    const Block* block = blocks_[i >> kBlockShift].get();
    if (block == nullptr) NotKept(i);
    return *block;
  }
  // Moves the offsets of the open group, whose next entry does not follow
  // the one before, aside.
  void makeLoose(std::size_t group, std::uint32_t offset);
  std::uint32_t offsetAt(std::size_t i) const;

  // The block of entry `index` for a walk: null past the last entry.
  const Block* walkBlock(std::size_t index) const { return index < size_ ? &kept(index) : nullptr; }
  void swap(BiffRecordList& other) noexcept {
    blocks_.swap(other.blocks_);
    loose_.swap(other.loose_);
    spare_.swap(other.spare_);
    keptBlocks_.swap(other.keptBlocks_);
    std::swap(releasedBefore_, other.releasedBefore_);
    std::swap(nextToGiveUp_, other.nextToGiveUp_);
    std::swap(first_, other.first_);
    std::swap(size_, other.size_);
    std::swap(nextOffset_, other.nextOffset_);
    std::swap(longest_, other.longest_);
  }

  std::vector<BlockPtr> blocks_;   // null where a block was given up
  std::vector<LooseGroup> loose_;  // in group order
  std::vector<BlockPtr> spare_;    // given up, to be filled again
  std::vector<bool> keptBlocks_;   // blocks holding kept entries; none past its end
  std::size_t releasedBefore_ = 0;
  std::size_t nextToGiveUp_ = 0;   // blocks before it were looked at
  BiffRecord first_;
  std::size_t size_ = 0;
  std::uint64_t nextOffset_ = 0;  // where the entry after the last would start
  std::uint16_t longest_ = 0;
};

class SheetFinder;

// Indexes every record from the current position (the start of the stream)
// to the end. Throws PasswordProtectedWorkbookException at a FILEPASS record
// and IOException when the stream ends inside a header or a record's data.
// Zero bytes that fill the stream from a record boundary to its end are the
// padding some writers add after the last record; they are not indexed.
BiffRecordList ReadBiffRecords(WorkbookStream& stream);
// The same, with every record's type handed to `sheets` as it is read
// (workbook/SubstreamDiscovery.h). The list counts every record but keeps
// only the first and those of the sheets `sheets` finds with drawings: the
// ones the checks and repairs look at.
BiffRecordList ReadBiffRecords(WorkbookStream& stream, SheetFinder& sheets);

// No record longer than kMaxBiffRecordLength; a BOF first and an EOF last.
void ValidateBiffRecords(const BiffRecordList& records);

}  // namespace bookmender
