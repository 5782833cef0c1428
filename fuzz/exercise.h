// Everything Bookmender does to a workbook without writing it: open, tag
// check, index, validate, substream discovery, the drawing stream, the
// container integrity check and the discrepancy measurement. Shared by the
// fuzz target and the regression test of the inputs it found.
#pragma once

#include <string>

#include "drawing/ContainerIntegrity.h"
#include "drawing/LineSink.h"
#include "drawing/SizeDiscrepancy.h"
#include "errors/Exception.h"
#include "workbook/BiffRecordReader.h"
#include "workbook/OptimiserTag.h"
#include "workbook/SubstreamDiscovery.h"

namespace fuzzing {

// Ends normally or with an exception of the family; anything else (a crash,
// a hang, a foreign exception) is a finding.
inline void ExerciseWorkbook(const std::wstring& path) {
  using namespace bookmender;
  WorkbookStream stream;
  stream.open(path, true);
  HasOptimiserTag(stream);
  BiffRecordList records = ReadBiffRecords(stream);
  ValidateBiffRecords(records);
  const std::vector<SheetSubstream> sheets = FindSheetSubstreams(records);
  const LineSink quiet{[](const std::wstring&) {}, [](const std::wstring&) {}};
  // Catches its own failures and answers false.
  CheckAllContainers(records, sheets, stream, quiet);
  for (const SheetSubstream& sheet : sheets) {
    try {
      MeasureChartDiscrepancies(sheet.bofIndex, records, stream, quiet);
    } catch (const Exception&) {
    }
  }
}

}  // namespace fuzzing
