#include "drawing/Rules.h"

#include "drawing/SizeDiscrepancy.h"

namespace bookmender {

RepairPlan SheetRule::plan(const SheetSubstream&, const Finding&, const RecordIndex&) const { return {}; }

void ApplyRepair(const RepairPlan& plan, const RecordIndex& records, WorkbookStream& stream, const LineSink& lines) {
  lines.output(plan.heading);
  for (const LengthEdit& edit : plan.edits) {
    lines.output(edit.says);
    AdjustContainerLengths(stream, records, edit.substream, edit.delta, lines);
  }
}

RecordNeeds NeedsOf(std::initializer_list<const Rule*> rules) {
  RecordNeeds needs;
  for (const Rule* rule : rules) needs = needs | rule->needs();
  return needs;
}

}  // namespace bookmender
