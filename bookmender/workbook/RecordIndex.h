// The index of the Workbook stream as its readers see it: one entry per BIFF
// record header, read-only, and what was kept of it for them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "workbook/BiffFormat.h"

namespace bookmender {

struct BiffRecord {
  std::uint16_t type = 0;
  std::uint16_t length = 0;
  std::uint32_t dataOffset = 0;  // stream offset of the first data byte
};

// What the readers of an index will ask of it, declared before it is built:
// the index keeps those records (and its first and last) and may give up
// the others. Sheets are the top-level substreams after the workbook globals;
// a sheet's records include those of the substreams nested in it.
class RecordNeeds {
 public:
  enum Scope : unsigned {
    kFirstAndLast = 0,           // always kept
    kSuspiciousSheets = 1u << 0,  // sheets that show the repaired damage
    kSheetsWithDrawings = 1u << 1,  // sheets with drawing records or nested substreams
    kAllRecords = 1u << 2,
  };
  constexpr RecordNeeds(Scope scope = kFirstAndLast) : scopes_(scope) {}

  constexpr RecordNeeds operator|(RecordNeeds other) const { return RecordNeeds(scopes_ | other.scopes_); }
  constexpr bool operator==(RecordNeeds other) const { return scopes_ == other.scopes_; }
  constexpr bool operator!=(RecordNeeds other) const { return scopes_ != other.scopes_; }
  constexpr bool all() const { return (scopes_ & kAllRecords) != 0; }
  // Whether the records of a sheet so marked are needed.
  constexpr bool sheet(bool suspicious, bool withDrawings) const {
    return all() || (suspicious && (scopes_ & kSuspiciousSheets) != 0) ||
           (withDrawings && (scopes_ & kSheetsWithDrawings) != 0);
  }

 private:
  constexpr explicit RecordNeeds(unsigned scopes) : scopes_(scopes) {}
  unsigned scopes_;
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
// Entries live in fixed-size blocks that never move (BiffRecordList, which
// fills them, says why). A block none of whose entries was declared needed
// may have been given up while the index was built: asking for one of its
// entries is a fault of the asking code, which read beyond what it declared,
// and throws std::logic_error. Reading is non-virtual and inline: the walks
// over the index are the run's hot loops.
class RecordIndex {
 public:
  static constexpr std::size_t kBlockShift = 16;  // 64 Ki entries a block
  static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockShift;
  static constexpr std::size_t kBlockMask = kBlockSize - 1;
  static constexpr std::size_t kGroupShift = 4;  // one checkpoint per 16 entries
  static constexpr std::size_t kGroupSize = std::size_t{1} << kGroupShift;

 protected:
  // Raw memory: an entry comes to life when it is pushed, so the unused part
  // of the last block is never written and takes no resident memory.
  struct Block {
    std::uint32_t entries[kBlockSize];                   // type | length << 16
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

    const_iterator(const RecordIndex& list, std::size_t index)
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
    const RecordIndex* list_;
    const Block* block_;  // null past the last entry
    std::size_t index_;
    std::uint32_t offset_ = 0;  // of the entry at index_
  };

  RecordIndex() = default;
  // A moved-from index is empty.
  RecordIndex(RecordIndex&& other) noexcept { swap(other); }
  RecordIndex& operator=(RecordIndex&& other) noexcept {
    RecordIndex taken(std::move(other));
    swap(taken);
    return *this;
  }
  // An index can be tens of megabytes: it is moved, never copied.
  RecordIndex(const RecordIndex&) = delete;
  RecordIndex& operator=(const RecordIndex&) = delete;
  ~RecordIndex() = default;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The longest record's length, 0 for an empty list.
  std::uint16_t longest() const { return longest_; }
  // What the index was built to keep.
  RecordNeeds needs() const { return needs_; }
  // Whether entry `i` may be asked for: every declared one is.
  bool holds(std::size_t i) const { return i < size_ && blocks_[i >> kBlockShift] != nullptr; }

  BiffRecord operator[](std::size_t i) const {
    const std::uint32_t entry = blockOf(i).entries[i & kBlockMask];
    return BiffRecord{TypeOf(entry), LengthOf(entry), offsetAt(i)};
  }
  // The type alone, without working out the offset.
  std::uint16_t typeAt(std::size_t i) const { return TypeOf(blockOf(i).entries[i & kBlockMask]); }
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

 protected:
  [[noreturn]] static void NotKept(std::size_t i);
  const Block& blockOf(std::size_t i) const {
    const Block* block = blocks_[i >> kBlockShift].get();
    if (block == nullptr) NotKept(i);
    return *block;
  }
  std::uint32_t offsetAt(std::size_t i) const;
  // The block of entry `index` for a walk: null past the last entry.
  const Block* walkBlock(std::size_t index) const { return index < size_ ? &blockOf(index) : nullptr; }
  void swap(RecordIndex& other) noexcept {
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
    std::swap(needs_, other.needs_);
  }

  std::vector<BlockPtr> blocks_;   // null where a block was given up
  std::vector<LooseGroup> loose_;  // in group order
  std::vector<BlockPtr> spare_;    // given up, to be filled again
  std::vector<bool> keptBlocks_;   // blocks holding kept entries; none past its end
  std::size_t releasedBefore_ = 0;
  std::size_t nextToGiveUp_ = 0;  // blocks before it were looked at
  BiffRecord first_;
  std::size_t size_ = 0;
  std::uint64_t nextOffset_ = 0;  // where the entry after the last would start
  std::uint16_t longest_ = 0;
  RecordNeeds needs_ = RecordNeeds::kAllRecords;
};

}  // namespace bookmender
