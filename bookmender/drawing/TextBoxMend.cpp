#include "drawing/TextBoxMend.h"

#include <algorithm>

#include "errors/Exception.h"
#include "platform/byte_reader.h"

namespace bookmender {

namespace {

// TXO data as far as its text length and runs length fields.
constexpr std::uint32_t kTxoCountsEnd = biff::kTxoRunsLengthOffset + 2;

}  // namespace

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
std::int32_t TextBoxMend::ownedContinuations(const RecordIndex& records, WorkbookStream& stream,
                                             std::size_t txoIndex) const {
  const BiffRecord& txo = records[txoIndex];
  if (txo.length < kTxoCountsEnd) return 2;

  std::uint8_t counts[4] = {};
  stream.seek(txo.dataOffset + biff::kTxoTextLengthOffset, SeekFromStart);
  if (stream.read(counts, sizeof counts) != sizeof counts) {
    throw IOException(MessageDetail(L"Short read in OfficeDrawingStream"));
  }
  std::uint32_t charactersLeft = platform::LoadU16(counts);
  std::uint32_t runBytesLeft = platform::LoadU16(counts + 2);
  if (charactersLeft == 0) return 0;  // no text, no runs records either

  std::int32_t count = 0;
  std::size_t i = txoIndex + 1;
  for (; charactersLeft > 0 && i < records.size() && records[i].type == biff::kContinue; ++i) {
    const BiffRecord& fragment = records[i];
    ++count;
    if (fragment.length == 0) continue;
    std::uint8_t flag = 0;
    stream.seek(fragment.dataOffset, SeekFromStart);
    if (stream.read(&flag, 1) != 1) {
      throw IOException(MessageDetail(L"Short read in OfficeDrawingStream"));
    }
    const std::uint32_t bytesPerCharacter = (flag & 0x01) != 0 ? 2 : 1;
    const std::uint32_t held = (fragment.length - 1u) / bytesPerCharacter;
    charactersLeft -= std::min(charactersLeft, held);
  }
  for (; runBytesLeft > 0 && i < records.size() && records[i].type == biff::kContinue; ++i) {
    ++count;
    runBytesLeft -= std::min<std::uint32_t>(runBytesLeft, records[i].length);
  }
  return count;
}

}  // namespace bookmender
