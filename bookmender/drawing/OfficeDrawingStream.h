// The Office drawing records of one substream, seen as one contiguous stream.
//
// A sheet's (or chart's) drawing data is cut into the payloads of MSODRAWING
// records and the CONTINUE records after them, interleaved with OBJ, TXO and
// other records. This view selects those payloads and offers header reads and
// writes, seeks and the mapping back to Workbook stream offsets over their
// concatenation. Drawing bytes are never cached: every access goes through the
// WorkbookStream, whose seek pointer it moves.
#pragma once

#include <cstdint>
#include <vector>

#include "drawing/DrawingFormat.h"
#include "drawing/TextBoxMend.h"
#include "workbook/RecordIndex.h"
#include "workbook/WorkbookStream.h"

namespace bookmender {

// Where a drawing-stream offset lies among the selected records.
struct DrawingLocation {
  std::uint32_t index = 0;           // selected record; the record count at the end
  std::uint32_t offsetInRecord = 0;  // within that record's payload
  std::uint32_t recordStart = 0;     // drawing-stream offset of that record's first byte
};

class OfficeDrawingStream {
 public:
  OfficeDrawingStream(const RecordIndex& records, WorkbookStream& stream)
      : records_(records), stream_(stream) {}
  virtual ~OfficeDrawingStream() = default;
  OfficeDrawingStream(const OfficeDrawingStream&) = delete;
  OfficeDrawingStream& operator=(const OfficeDrawingStream&) = delete;

  // Selects the drawing records of the substream whose BOF is record
  // `startIndex` and moves to offset 0. Throws IOException when the list ends
  // before the substream's EOF.
  void open(std::uint32_t startIndex);

  // Moves one whole header at the position, across record boundaries, and
  // advances by 8.
  void readHeader(OfficeDrawingRecordHeader& header);
  void writeHeader(const OfficeDrawingRecordHeader& header);

  // From the start of the drawing stream or from the position; the target may
  // be the end of the stream but not beyond.
  void seek(std::uint32_t offset, SeekOrigin origin);

  // Workbook stream offset of the drawing byte at `offset` (< size()).
  std::uint32_t workbookStreamOffset(std::uint32_t offset) const;

  // The lookup behind seek and workbookStreamOffset. An offset at the end of
  // one record maps to the start of the next. False when `target` lies beyond
  // the end of the stream.
  bool locate(std::uint64_t target, DrawingLocation& location) const;

  std::uint32_t position() const { return recordStart_ + offsetInRecord_; }
  std::uint32_t size() const;
  bool atEnd() const { return current_ == selected_.size() && offsetInRecord_ == 0; }
  const std::vector<BiffRecord>& selectedRecords() const { return selected_; }

 private:
  enum class Direction { kRead, kWrite };
  void moveHeader(std::uint8_t (&bytes)[drawing::kHeaderSize], Direction direction);

  const RecordIndex& records_;
  WorkbookStream& stream_;
  const TextBoxMend textBoxes_;
  std::vector<BiffRecord> selected_;
  std::uint32_t current_ = 0;
  std::uint32_t offsetInRecord_ = 0;
  std::uint32_t recordStart_ = 0;
};

}  // namespace bookmender
