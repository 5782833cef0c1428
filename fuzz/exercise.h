// Everything Bookmender does to a workbook without writing it: open, tag
// check, index, validate, substream discovery, the drawing stream, the
// container integrity check and the discrepancy measurement. Shared by the
// fuzz target and the regression test of the inputs it found.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "drawing/ContainerIntegrity.h"
#include "drawing/LineSink.h"
#include "drawing/SizeDiscrepancy.h"
#include "errors/Exception.h"
#include "platform/compound_file.h"
#include "workbook/BiffRecordReader.h"
#include "workbook/OptimiserTag.h"
#include "workbook/SubstreamDiscovery.h"

namespace fuzzing {

// Ends normally or with an exception of the family; anything else (a crash,
// a hang, a foreign exception) is a finding.
inline void ExerciseOpenWorkbook(bookmender::WorkbookStream& stream) {
  using namespace bookmender;
  HasOptimiserTag(stream);
  SheetFinder finder;
  BiffRecordList records = ReadBiffRecords(stream, finder);
  ValidateBiffRecords(records);
  const std::vector<SheetSubstream> sheets = finder.take();
  // The sheets found while indexing are the ones a walk over the index finds.
  const std::vector<SheetSubstream> walked = FindSheetSubstreams(records);
  if (walked.size() != sheets.size()) std::abort();
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    if (walked[i].bofIndex != sheets[i].bofIndex || walked[i].suspicious != sheets[i].suspicious ||
        walked[i].drawingFree != sheets[i].drawingFree) {
      std::abort();
    }
  }
  const LineSink quiet{[](const std::wstring&) {}, [](const std::wstring&) {}};
  // Catches its own failures and answers false; skipping the drawing-free
  // sheets must not change the answer.
  std::vector<SheetSubstream> everySheet = sheets;
  for (SheetSubstream& sheet : everySheet) sheet.drawingFree = false;
  if (CheckAllContainers(records, sheets, stream, quiet) != CheckAllContainers(records, everySheet, stream, quiet)) {
    std::abort();
  }
  for (const SheetSubstream& sheet : sheets) {
    try {
      MeasureChartDiscrepancies(sheet.bofIndex, records, stream, quiet);
    } catch (const Exception&) {
    }
  }
}

// The workbook file at `path`.
inline void ExerciseWorkbook(const std::wstring& path) {
  bookmender::WorkbookStream stream;
  stream.open(path, true);
  ExerciseOpenWorkbook(stream);
}

// The same bytes held in memory. Bytes that are no compound file end here;
// a file would end with the open's exception.
inline void ExerciseWorkbook(const std::uint8_t* data, std::size_t size) {
  const auto bytes = std::make_shared<std::vector<std::uint8_t>>(data, data + size);
  std::shared_ptr<platform::Storage> storage;
  if (platform::Storage::openMemory(bytes, platform::StorageMode::kReadDenyWrite, storage) != S_OK) return;
  bookmender::WorkbookStream stream;
  stream.openOnStorage(storage, L"fuzz input");
  ExerciseOpenWorkbook(stream);
}

}  // namespace fuzzing
