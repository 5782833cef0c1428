// What every check, repair and mend declares: its name and the records of
// the index it reads (drawing/Rules.h says how a rule is added).
#pragma once

#include "workbook/RecordIndex.h"

namespace bookmender {

class Rule {
 public:
  Rule() = default;
  virtual ~Rule() = default;
  Rule(const Rule&) = delete;
  Rule& operator=(const Rule&) = delete;

  virtual const wchar_t* name() const = 0;
  // Decided by the rule's kind alone: the same before the index is built
  // as while it is read.
  virtual RecordNeeds needs() const = 0;
};

}  // namespace bookmender
