// Text boxes in the drawing data: the CONTINUE records after a TXO that
// hold its text and formatting runs are not drawing data, and how many
// there are follows from the TXO's own counts, not from a fixed two.
#pragma once

#include <cstddef>
#include <cstdint>

#include "workbook/RecordIndex.h"
#include "workbook/Rule.h"
#include "workbook/WorkbookStream.h"

namespace bookmender {

// Consulted by the drawing stream (drawing/OfficeDrawingStream.h) of the
// sheets with drawings, whose records it reads: the TXO's counts and the
// flag byte of each text fragment.
class TextBoxMend : public Rule {
 public:
  const wchar_t* name() const override { return L"text box continuations"; }
  RecordNeeds needs() const override { return RecordNeeds::kSheetsWithDrawings; }
  // How many of the CONTINUE records right after the TXO at `txoIndex` are
  // its own. Throws IOException when a count or flag cannot be read.
  std::int32_t ownedContinuations(const RecordIndex& records, WorkbookStream& stream, std::size_t txoIndex) const;
};

}  // namespace bookmender
