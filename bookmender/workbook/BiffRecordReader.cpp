#include "workbook/BiffRecordReader.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

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

// The common case, fast: record headers read straight out of large reads of
// the stream, instead of one small read and one seek per record. It stops at
// the first record that needs a decision of the record-by-record loop below
// (the last bytes of the stream, a zero header that may be padding, a record
// that runs past the end, a read that fails or comes up short) and leaves
// `position` at that record's header, so the loop answers exactly as if it
// had read every record itself.
void IndexFromLargeReads(WorkbookStream& stream, std::uint32_t& position, BiffRecordList& records) {
  constexpr std::uint32_t kReadSize = 1u << 20;
  const std::uint64_t size = stream.size();
  std::vector<std::uint8_t> buffer(kReadSize);
  std::uint64_t held = 0, heldEnd = 0;  // the stream range in `buffer`
  std::uint64_t at = position;
  while (size - at >= biff::kHeaderSize) {
    if (at + biff::kHeaderSize > heldEnd) {
      const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(kReadSize, size - at));
      std::uint32_t got = 0;
      try {
        stream.seek(static_cast<std::uint32_t>(at), SeekFromStart);
        got = stream.read(buffer.data(), want);
      } catch (const IOException&) {
        break;  // the loop below reads only what it must, and says why it fails
      }
      if (got < biff::kHeaderSize) break;
      held = at;
      heldEnd = at + got;
    }
    const std::uint8_t* header = buffer.data() + (at - held);
    const std::uint16_t type = platform::LoadU16(header);
    const std::uint16_t length = platform::LoadU16(header + 2);
    if (type == biff::kFilePass) throw PasswordProtectedWorkbookException();
    if (type == 0 && length == 0) break;
    const std::uint64_t next = at + biff::kHeaderSize + length;
    if (next > size) break;
    records.push_back(BiffRecord{type, length, static_cast<std::uint32_t>(at + biff::kHeaderSize)});
    at = next;
  }
  position = static_cast<std::uint32_t>(at);
  stream.seek(position, SeekFromStart);
}

BiffRecordList IndexRecords(WorkbookStream& stream) {
  BiffRecordList records;
  PaddingProbe padding;
  // Each record moves the position by exactly its header and data, so the
  // position is asked for once and then followed here.
  std::uint32_t position = stream.tell();
  IndexFromLargeReads(stream, position, records);
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
