#include "drawing/OfficeDrawingStream.h"

#include <algorithm>

#include "errors/Exception.h"

namespace bookmender {

void OfficeDrawingStream::open(std::uint32_t startIndex) {
  current_ = 0;
  offsetInRecord_ = 0;
  recordStart_ = 0;
  selected_.clear();

  std::int64_t depth = 0;
  bool inDrawing = false;
  // One saved value, not a stack: a run of drawing records resumes after a
  // nested substream if it was active at that substream's BOF.
  bool savedInDrawing = false;
  std::int32_t pendingTxoContinuations = 0;
  // Only the types are looked at on the way; the few records kept are
  // looked up whole.
  for (std::size_t i = startIndex; i < records_.size(); ++i) {
    switch (records_.typeAt(i)) {
      case biff::kBof:
        ++depth;
        savedInDrawing = inDrawing;
        break;
      case biff::kEof:
        --depth;
        if (depth == 0) return;
        inDrawing = savedInDrawing;
        break;
      case biff::kMsoDrawing:
        // Nested substreams (embedded charts) have drawings of their own.
        if (depth == 1) {
          selected_.push_back(records_[i]);
          inDrawing = true;
        }
        break;
      case biff::kContinue:
        if (inDrawing && depth == 1 && pendingTxoContinuations == 0) {
          selected_.push_back(records_[i]);
        } else if (pendingTxoContinuations > 0) {
          --pendingTxoContinuations;
        }
        break;
      case biff::kObj:
        // Sits between a shape's drawing data and the next; ends no run.
        break;
      case biff::kTxo:
        pendingTxoContinuations = textBoxes_.ownedContinuations(records_, stream_, i);
        break;
      default:
        inDrawing = false;
        break;
    }
  }
  throw IOException(MessageDetail(L"Ran off the end of the file in OfficeDrawingStream::open"));
}

std::uint32_t OfficeDrawingStream::size() const {
  // The payloads are disjoint parts of one 32-bit stream, so the sum fits.
  std::uint64_t total = 0;
  for (const BiffRecord& record : selected_) total += record.length;
  return static_cast<std::uint32_t>(total);
}

void OfficeDrawingStream::readHeader(OfficeDrawingRecordHeader& header) {
  std::uint8_t bytes[drawing::kHeaderSize] = {};
  moveHeader(bytes, Direction::kRead);
  header = OfficeDrawingRecordHeader::decode(bytes);
}

void OfficeDrawingStream::writeHeader(const OfficeDrawingRecordHeader& header) {
  std::uint8_t bytes[drawing::kHeaderSize] = {};
  header.encode(bytes);
  moveHeader(bytes, Direction::kWrite);
}

// A header may be split across two (or, around empty records, more) payloads;
// each piece is moved at its own Workbook stream offset.
void OfficeDrawingStream::moveHeader(std::uint8_t (&bytes)[drawing::kHeaderSize],
                                     Direction direction) {
  const bool reading = direction == Direction::kRead;
  std::uint32_t moved = 0;
  while (moved < drawing::kHeaderSize) {
    if (current_ >= selected_.size()) {
      throw IOException(MessageDetail(reading ? L"Attempt to read beyond end of OfficeDrawingStream"
                                              : L"Attempt to write beyond end of OfficeDrawingStream"));
    }
    const BiffRecord& record = selected_[current_];
    const std::uint32_t n =
        std::min<std::uint32_t>(record.length - offsetInRecord_, drawing::kHeaderSize - moved);
    stream_.seek(record.dataOffset + offsetInRecord_, SeekFromStart);
    std::uint32_t done = 0;
    if (n != 0) done = reading ? stream_.read(bytes + moved, n) : stream_.write(bytes + moved, n);
    if (done != n) {
      throw IOException(MessageDetail(reading ? L"Short read in OfficeDrawingStream"
                                              : L"Short write in OfficeDrawingStream"));
    }
    moved += done;
    offsetInRecord_ += done;
    if (offsetInRecord_ == record.length) {
      recordStart_ += record.length;
      ++current_;
      offsetInRecord_ = 0;
    }
  }
}

bool OfficeDrawingStream::locate(std::uint64_t target, DrawingLocation& location) const {
  // Forward reading seeks just past the current record; scan from the start
  // only for targets behind it.
  std::size_t index = current_;
  std::uint64_t runningStart = recordStart_;
  if (target < recordStart_) {
    index = 0;
    runningStart = 0;
  }
  for (; index < selected_.size(); ++index) {
    const std::uint64_t end = runningStart + selected_[index].length;
    if (end > target) {
      location.index = static_cast<std::uint32_t>(index);
      location.offsetInRecord = static_cast<std::uint32_t>(target - runningStart);
      location.recordStart = static_cast<std::uint32_t>(runningStart);
      return true;
    }
    runningStart = end;
  }
  if (runningStart != target) return false;
  location.index = static_cast<std::uint32_t>(selected_.size());
  location.offsetInRecord = 0;
  location.recordStart = static_cast<std::uint32_t>(target);
  return true;
}

void OfficeDrawingStream::seek(std::uint32_t offset, SeekOrigin origin) {
  std::uint64_t target = 0;
  if (origin == SeekFromStart) {
    target = offset;
  } else if (origin == SeekFromCurrent) {
    // 64-bit: an absurd relative move must fail, not wrap back into the stream.
    target = std::uint64_t{position()} + offset;
  } else {
    throw Exception(MessageDetail(L"Invalid origin provided to OfficeDrawingStream::seek"));
  }
  DrawingLocation location;
  if (!locate(target, location)) {
    throw IOException(MessageDetail(L"Seek beyond end of OfficeDrawingStream"));
  }
  current_ = location.index;
  offsetInRecord_ = location.offsetInRecord;
  recordStart_ = location.recordStart;
}

std::uint32_t OfficeDrawingStream::workbookStreamOffset(std::uint32_t offset) const {
  DrawingLocation location;
  if (!locate(offset, location) || location.index == selected_.size()) {
    throw IOException(MessageDetail(
        L"Tried to get workbookStreamOffset for an offset beyond end of OfficeDrawingStream"));
  }
  return selected_[location.index].dataOffset + location.offsetInRecord;
}

}  // namespace bookmender
