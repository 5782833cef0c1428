#include "workbook/BiffRecordReader.h"

#include <algorithm>
#include <new>
#include <string>

#include "errors/Exception.h"
#include "platform/byte_reader.h"

namespace bookmender {

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

BiffRecordList IndexRecords(WorkbookStream& stream) {
  BiffRecordList records;
  PaddingProbe padding;
  // Each record moves the position by exactly its header and data, so the
  // position is asked for once and then followed here.
  std::uint32_t position = stream.tell();
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
    position += biff::kHeaderSize + length;
  }
}

}  // namespace

BiffRecordList ReadBiffRecords(WorkbookStream& stream) {
  try {
    return IndexRecords(stream);
  } catch (const std::bad_alloc&) {
    // A stream of very many records can need more memory than the process
    // may have: the workbook is too large to index here, not a crash.
    throw IOException(MessageDetail(L"Not enough memory to index a Workbook stream of " +
                                    std::to_wstring(stream.size()) + L" bytes"));
  }
}

void ValidateBiffRecords(const BiffRecordList& records) {
  for (const BiffRecord& record : records) {
    if (record.length > kMaxBiffRecordLength) {
      throw IOException(MessageDetail(L"BIFF record is too long"));
    }
  }
  if (records.empty() || records.front().type != biff::kBof || records.back().type != biff::kEof) {
    throw IOException(MessageDetail(L"First record is not BOF or last record is not EOF!"));
  }
}

}  // namespace bookmender
