// The checks and repairs, each a rule that declares what of the record index
// it reads. The index is built to keep the union of those declarations
// (NeedsOf), so a rule is never refused a record it declared; a record it
// did not declare is a programming error (RecordIndex).
//
// A new rule: derive from SheetRule (or from Rule for a mend that the
// drawing stream or the indexing consults), declare needs(), look at one
// sheet of that scope in check() and, for a repair, say in plan() what it
// would change; then add it to RuleSet (drawing/RuleSet.h): to needs(), and
// a repair to repairs(), which the driver runs on every sheet it covers.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "drawing/LineSink.h"
#include "workbook/RecordIndex.h"
#include "workbook/Rule.h"
#include "workbook/SubstreamDiscovery.h"
#include "workbook/WorkbookStream.h"

namespace bookmender {

// What a rule is handed for one sheet.
struct RuleInput {
  const RecordIndex& records;
  WorkbookStream& stream;
  const LineSink& lines;
};

// What a rule found in one sheet. `amounts` are the rule's own measures
// (the size rule: one discrepancy per chart).
struct Finding {
  bool needsRepair = false;
  std::vector<std::uint32_t> amounts;
};

// One change of a repair: `says` is written, then the substream's
// DgContainer and first SpgrContainer grow by `delta` (32-bit wrap intended).
struct LengthEdit {
  std::wstring says;
  std::uint32_t substream = 0;  // record number of its BOF
  std::int32_t delta = 0;
};

// A repair as it will be made: `heading` is written first, then each edit
// in order.
struct RepairPlan {
  std::wstring heading;
  std::vector<LengthEdit> edits;
};

// A rule that looks at one sheet at a time.
class SheetRule : public Rule {
 public:
  // Whether the rule looks at `sheet`: what needs() declares for it.
  bool covers(const SheetSubstream& sheet) const { return needs().sheet(sheet.suspicious, !sheet.drawingFree); }
  // Looks at a sheet it covers; throws Exception for one it cannot judge.
  virtual Finding check(const SheetSubstream& sheet, const RuleInput& in) const = 0;
  // The repair of what check() found; none for a rule that only checks.
  virtual RepairPlan plan(const SheetSubstream& sheet, const Finding& finding, const RecordIndex& records) const;
};

// Makes the edits of `plan` in `stream`, writing their lines.
void ApplyRepair(const RepairPlan& plan, const RecordIndex& records, WorkbookStream& stream, const LineSink& lines);

// The union of what `rules` read: what the index keeps.
RecordNeeds NeedsOf(std::initializer_list<const Rule*> rules);

}  // namespace bookmender
