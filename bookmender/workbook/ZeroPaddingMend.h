// Zero bytes that fill the Workbook stream from a record boundary to its
// end are the padding some writers add after the last record, not records.
#pragma once

#include <cstdint>

#include "workbook/BiffFormat.h"
#include "workbook/Rule.h"
#include "workbook/WorkbookStream.h"

namespace bookmender {

// Consulted by the indexing (workbook/BiffRecordReader.h) at each zero
// header; it reads the stream beyond the last record, none of the index.
class ZeroPaddingMend : public Rule {
 public:
  const wchar_t* name() const override { return L"zero padding"; }
  RecordNeeds needs() const override { return RecordNeeds::kFirstAndLast; }

  // Tells whether every byte from `position` to the end of the stream is
  // zero, remembering the first non-zero byte it met so that a long run of
  // zero headers followed by data is scanned once, not once per header.
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

}  // namespace bookmender
