// The index of the Workbook stream: one entry per BIFF record header.
#pragma once

#include <cstddef>
#include <cstdint>
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
// Entries live in fixed-size blocks that never move: growing the list copies
// nothing, so at its peak it holds its entries, one block partly filled and
// the block table. (A vector that doubles holds its old and new buffers at
// once: up to three times its entries.)
// A position is a block number and a place in the block: a shift and a mask.
class BiffRecordList {
  // Blocks are raw memory: an entry comes to life when it is pushed, so the
  // unused part of the last block is never written and takes no resident
  // memory.
  struct FreeBlock {
    void operator()(BiffRecord* block) const { ::operator delete(block); }
  };
  using Block = std::unique_ptr<BiffRecord, FreeBlock>;
  static_assert(std::is_trivially_destructible<BiffRecord>::value,
                "blocks are freed without destroying their entries");

 public:
  static constexpr std::size_t kBlockShift = 16;  // 64 Ki entries, 512 KiB a block
  static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockShift;
  static constexpr std::size_t kBlockMask = kBlockSize - 1;

  // Keeps its block at hand: a step looks at the block table only when it
  // crosses into the next block.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = BiffRecord;
    using difference_type = std::ptrdiff_t;
    using pointer = const BiffRecord*;
    using reference = const BiffRecord&;

    const_iterator(const BiffRecordList& list, std::size_t index)
        : list_(&list), block_(list.blockAt(index >> kBlockShift)), index_(index) {}
    reference operator*() const { return block_[index_ & kBlockMask]; }
    pointer operator->() const { return &block_[index_ & kBlockMask]; }
    const_iterator& operator++() {
      if ((++index_ & kBlockMask) == 0) block_ = list_->blockAt(index_ >> kBlockShift);
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
    const BiffRecord* block_;  // null past the last block
    std::size_t index_;
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
  const BiffRecord& operator[](std::size_t i) const {
    return blocks_[i >> kBlockShift].get()[i & kBlockMask];
  }
  BiffRecord& operator[](std::size_t i) { return blocks_[i >> kBlockShift].get()[i & kBlockMask]; }
  const BiffRecord& front() const { return (*this)[0]; }
  const BiffRecord& back() const { return (*this)[size_ - 1]; }
  const_iterator begin() const { return const_iterator(*this, 0); }
  const_iterator end() const { return const_iterator(*this, size_); }

  // Throws std::bad_alloc, the list unchanged, when a new block is needed and
  // there is no memory for it.
  void push_back(const BiffRecord& record) {
    if (next_ == blockEnd_) addBlock();
    new (next_) BiffRecord(record);
    ++next_;
    ++size_;
  }

 private:
  void addBlock() {
    Block block(static_cast<BiffRecord*>(::operator new(kBlockSize * sizeof(BiffRecord))));
    blocks_.push_back(std::move(block));
    next_ = blocks_.back().get();
    blockEnd_ = next_ + kBlockSize;
  }
  const BiffRecord* blockAt(std::size_t block) const {
    return block < blocks_.size() ? blocks_[block].get() : nullptr;
  }
  void swap(BiffRecordList& other) noexcept {
    blocks_.swap(other.blocks_);
    std::swap(next_, other.next_);
    std::swap(blockEnd_, other.blockEnd_);
    std::swap(size_, other.size_);
  }

  std::vector<Block> blocks_;
  BiffRecord* next_ = nullptr;  // where the next entry goes, in the last block
  BiffRecord* blockEnd_ = nullptr;
  std::size_t size_ = 0;
};

// Indexes every record from the current position (the start of the stream)
// to the end. Throws PasswordProtectedWorkbookException at a FILEPASS record
// and IOException when the stream ends inside a header or a record's data.
// Zero bytes that fill the stream from a record boundary to its end are the
// padding some writers add after the last record; they are not indexed.
BiffRecordList ReadBiffRecords(WorkbookStream& stream);

// No record longer than kMaxBiffRecordLength; a BOF first and an EOF last.
void ValidateBiffRecords(const BiffRecordList& records);

}  // namespace bookmender
