// Sheets and the substreams nested in them, found by BOF/EOF nesting alone.
#pragma once

#include <cstdint>
#include <vector>

#include "workbook/BiffFormat.h"
#include "workbook/RecordIndex.h"

namespace bookmender {

struct SheetSubstream {
  std::uint32_t bofIndex = 0;  // record number of the sheet's BOF
  bool suspicious = false;     // shows the damage pattern that is repaired
  // Known to hold neither drawing records of its own nor nested substreams:
  // there is nothing in it for the container check to read.
  bool drawingFree = false;
};

// Finds the sheets while the records go by, in stream order: the indexing
// feeds it as it reads, so that finding them is no pass of its own, and
// learns from it where each sheet lies. Only BOF, EOF and drawing records
// matter to it (Matters()): others may be handed over or left out.
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
      if (--depth_ == 0 && sheetStart_ != 0) endSheet();
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
  // How many sheets were found, and the last of them (found() > 0): a step
  // that makes found() grow was the sheet's EOF.
  std::size_t found() const { return sheets_.size(); }
  const SheetSubstream& last() const { return sheets_.back(); }
  // Nesting depth after the last step: 1 inside a top-level substream.
  std::int64_t depth() const { return depth_; }
  // A sheet (not the workbook globals) is under way.
  bool inSheet() const { return depth_ >= 1 && sheetStart_ != 0; }

 private:
  void bof(std::uint32_t index) {
    chartHasDrawing_ = false;
    if (++depth_ == 1) {
      sheetStart_ = index;
      sheetSuspicious_ = false;
      sheetHasDrawing_ = false;
    } else {
      sheetHasDrawing_ = true;  // a nested substream: a chart, say
    }
  }
  void endSheet();

  std::vector<SheetSubstream> sheets_;
  std::int64_t depth_ = 0;
  std::int64_t lastEof_ = -2;  // the last EOF's record number
  std::uint32_t sheetStart_ = 0;
  bool chartHasDrawing_ = false;
  bool sheetSuspicious_ = false;
  bool sheetHasDrawing_ = false;  // drawing records or a nested substream seen
};

// Every top-level substream after the first (the workbook globals), with the
// sheets marked suspicious where a nested substream holding drawing records is
// followed directly by a drawing record of the sheet. Never throws.
std::vector<SheetSubstream> FindSheetSubstreams(const RecordIndex& records);

// Record numbers of the BOF records nested directly in the sheet whose BOF is
// `sheetBofIndex`. Throws Exception when the list ends before the sheet's EOF.
std::vector<std::uint32_t> FindSheetEmbeddedChartSubstreams(const RecordIndex& records,
                                                           std::uint32_t sheetBofIndex);

}  // namespace bookmender
