// Sheets and the substreams nested in them, found by BOF/EOF nesting alone.
#pragma once

#include <cstdint>
#include <vector>

#include "workbook/BiffFormat.h"
#include "workbook/BiffRecordReader.h"

namespace bookmender {

struct SheetSubstream {
  std::uint32_t bofIndex = 0;  // record number of the sheet's BOF
  bool suspicious = false;     // shows the damage pattern that is repaired
  // Known to hold neither drawing records of its own nor nested substreams:
  // there is nothing in it for the container check to read.
  bool drawingFree = false;
};

// Finds the sheets while the records go by, in stream order: the indexing
// feeds it as it reads, so that finding them is no pass of its own. Only
// BOF, EOF and drawing records matter to it (Matters()): others may be
// handed over or left out.
class SheetFinder {
 public:
  static constexpr bool Matters(std::uint16_t type) {
    return type == biff::kBof || type == biff::kEof || type == biff::kMsoDrawing;
  }
  // Record `index` of the stream is of `type`.
  void step(std::uint16_t type, std::uint32_t index) {
    if (type == biff::kBof) {
      bof(index);
    } else if (type == biff::kEof) {
      lastEof_ = index;
      if (--depth_ == 0) {
        if (sheetStart_ != 0) endSheet();
        if (records_ != nullptr) releaseSheet(index);
      }
    } else if (type == biff::kMsoDrawing) {
      if (depth_ == 2) {
        chartHasDrawing_ = true;
      } else if (depth_ == 1) {
        sheetHasDrawing_ = true;
        if (chartHasDrawing_ && lastEof_ + 1 == index) sheetSuspicious_ = true;
      }
    }
  }
  // The sheets found so far; the finder is spent.
  std::vector<SheetSubstream> take() { return std::move(sheets_); }
  // While the finder is handed the records that go into `records` (null:
  // none), the entries that no sheet with drawings holds are released from
  // it: nothing after the index asks for them (the workbook globals, sheets
  // without drawings, records between sheets).
  void releaseUnneededIn(BiffRecordList* records) { records_ = records; }
  // Every record before `next` has been handed over: unless a sheet is
  // under way, none of them is needed.
  void handedBefore(std::size_t next) {
    if (records_ != nullptr && (depth_ < 1 || sheetStart_ == 0)) records_->releaseBefore(next);
  }

 private:
  void bof(std::uint32_t index) {
    chartHasDrawing_ = false;
    if (++depth_ == 1) {
      if (records_ != nullptr) records_->releaseBefore(index);
      sheetStart_ = index;
      sheetSuspicious_ = false;
      sheetHasDrawing_ = false;
    } else {
      sheetHasDrawing_ = true;  // a nested substream: a chart, say
    }
  }
  void endSheet();
  // The top-level substream ending with the EOF at `eofIndex` is kept when
  // it is a sheet with drawings, and released otherwise.
  void releaseSheet(std::uint32_t eofIndex);

  std::vector<SheetSubstream> sheets_;
  std::int64_t depth_ = 0;
  std::int64_t lastEof_ = -2;  // the last EOF's record number
  std::uint32_t sheetStart_ = 0;
  bool chartHasDrawing_ = false;
  bool sheetSuspicious_ = false;
  bool sheetHasDrawing_ = false;  // drawing records or a nested substream seen
  BiffRecordList* records_ = nullptr;
};

// Every top-level substream after the first (the workbook globals), with the
// sheets marked suspicious where a nested substream holding drawing records is
// followed directly by a drawing record of the sheet. Never throws.
std::vector<SheetSubstream> FindSheetSubstreams(const BiffRecordList& records);

// Record numbers of the BOF records nested directly in the sheet whose BOF is
// `sheetBofIndex`. Throws Exception when the list ends before the sheet's EOF.
std::vector<std::uint32_t> FindSheetEmbeddedChartSubstreams(const BiffRecordList& records,
                                                           std::uint32_t sheetBofIndex);

}  // namespace bookmender
