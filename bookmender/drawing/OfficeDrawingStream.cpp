#include "drawing/OfficeDrawingStream.h"

#include <algorithm>

#include "errors/Exception.h"
#include "platform/byte_reader.h"

namespace bookmender {

namespace {

// TXO data as far as its text length and runs length fields.
constexpr std::uint32_t kTxoCountsEnd = biff::kTxoRunsLengthOffset + 2;

}  // namespace

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
        pendingTxoContinuations = countTxoContinuations(i);
        break;
      default:
        inDrawing = false;
        break;
    }
  }
  throw IOException(MessageDetail(L"Ran off the end of the file in OfficeDrawingStream::open"));
}

// The CONTINUE records that belong to a text box are those that hold its
// cchText characters and then its cbRuns bytes of formatting runs: none at all
// when the text is empty (whatever cbRuns says), and the records after it
// carry drawing data again. Each text fragment starts with a flag byte whose
// bit 0 means two bytes per character.
//
// A TXO too short to hold both counts is malformed; it is taken to have one
// text and one runs record, the layout of every text box with text, rather
// than guessing from a partial field. When the CONTINUE records run out (any
// other record comes first, or the list ends) before the text or the runs are
// complete, only those present belong to the TXO.
std::int32_t OfficeDrawingStream::countTxoContinuations(std::size_t txoIndex) {
  const BiffRecord& txo = records_[txoIndex];
  if (txo.length < kTxoCountsEnd) return 2;

  std::uint8_t counts[4] = {};
  stream_.seek(txo.dataOffset + biff::kTxoTextLengthOffset, SeekFromStart);
  if (stream_.read(counts, sizeof counts) != sizeof counts) {
    throw IOException(MessageDetail(L"Short read in OfficeDrawingStream"));
  }
  std::uint32_t charactersLeft = platform::LoadU16(counts);
  std::uint32_t runBytesLeft = platform::LoadU16(counts + 2);
  if (charactersLeft == 0) return 0;  // no text, no runs records either

  std::int32_t count = 0;
  std::size_t i = txoIndex + 1;
  for (; charactersLeft > 0 && i < records_.size() && records_[i].type == biff::kContinue; ++i) {
    const BiffRecord& fragment = records_[i];
    ++count;
    if (fragment.length == 0) continue;
    std::uint8_t flag = 0;
    stream_.seek(fragment.dataOffset, SeekFromStart);
    if (stream_.read(&flag, 1) != 1) {
      throw IOException(MessageDetail(L"Short read in OfficeDrawingStream"));
    }
    const std::uint32_t bytesPerCharacter = (flag & 0x01) != 0 ? 2 : 1;
    const std::uint32_t held = (fragment.length - 1u) / bytesPerCharacter;
    charactersLeft -= std::min(charactersLeft, held);
  }
  for (; runBytesLeft > 0 && i < records_.size() && records_[i].type == biff::kContinue; ++i) {
    ++count;
    runBytesLeft -= std::min<std::uint32_t>(runBytesLeft, records_[i].length);
  }
  return count;
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
