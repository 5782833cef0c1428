// The index of the Workbook stream: one entry per BIFF record header.
#pragma once

#include <cstdint>
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
using BiffRecordList = std::vector<BiffRecord>;

// Indexes every record from the current position (the start of the stream)
// to the end. Throws PasswordProtectedWorkbookException at a FILEPASS record
// and IOException when the stream ends inside a header or a record's data.
// Zero bytes that fill the stream from a record boundary to its end are the
// padding some writers add after the last record; they are not indexed.
BiffRecordList ReadBiffRecords(WorkbookStream& stream);

// No record longer than kMaxBiffRecordLength; a BOF first and an EOF last.
void ValidateBiffRecords(const BiffRecordList& records);

}  // namespace bookmender
