// The rules of a run and where the run consults each: the index is built to
// keep what all of them read. (What a rule reads is its kind's: the mends'
// instances here declare for those the drawing stream and the indexing make.)
#pragma once

#include <array>

#include "drawing/ContainerIntegrity.h"
#include "drawing/Rules.h"
#include "drawing/SizeDiscrepancy.h"
#include "drawing/TextBoxMend.h"
#include "workbook/ZeroPaddingMend.h"

namespace bookmender {

struct RuleSet {
  ChartSizeRule chartSize;           // the driver: each suspicious sheet, then its repair
  ContainerIntegrityRule integrity;  // the driver: the sheets with drawings of the result
  TextBoxMend textBoxes;             // the drawing stream of every sheet the rules above read
  ZeroPaddingMend zeroPadding;       // the indexing, at a zero header

  // Looked at for each sheet they cover, in this order; the first finding
  // to repair makes the temporary copy they all repair.
  std::array<const SheetRule*, 1> repairs() const { return {&chartSize}; }
  RecordNeeds needs() const { return NeedsOf({&chartSize, &integrity, &textBoxes, &zeroPadding}); }
};

}  // namespace bookmender
