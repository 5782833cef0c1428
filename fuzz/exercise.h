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
#include "drawing/RuleSet.h"
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
  const std::uint32_t start = stream.tell();
  // The index as a run builds it, keeping what the run's rules read.
  const RuleSet rules;
  const RecordNeeds needs = rules.needs();
  SheetFinder finder;
  const RecordIndex records = ReadBiffRecords(stream, finder, needs);
  ValidateBiffRecords(records);
  const std::vector<SheetSubstream> sheets = finder.take();
  // The index that keeps every record, made again from the same place.
  stream.seek(start, SeekFromStart);
  const BiffRecordList all = ReadBiffRecords(stream);
  if (all.size() != records.size() || all.longest() != records.longest() || all.front().type != records.front().type ||
      all.front().dataOffset != records.front().dataOffset || all.back().dataOffset != records.back().dataOffset) {
    std::abort();
  }
  // The sheets found while indexing are the ones a walk over the index finds.
  const std::vector<SheetSubstream> walked = FindSheetSubstreams(all);
  if (walked.size() != sheets.size()) std::abort();
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    if (walked[i].bofIndex != sheets[i].bofIndex || walked[i].suspicious != sheets[i].suspicious ||
        walked[i].drawingFree != sheets[i].drawingFree) {
      std::abort();
    }
  }
  // Every record of a sheet the rules declared is kept as the full index
  // has it, up to the sheet's EOF.
  for (const SheetSubstream& sheet : sheets) {
    if (!needs.sheet(sheet.suspicious, !sheet.drawingFree)) continue;
    std::int64_t depth = 0;
    for (std::size_t i = sheet.bofIndex; i < all.size(); ++i) {
      const BiffRecord want = all[i];
      const BiffRecord got = records[i];
      if (got.type != want.type || got.length != want.length || got.dataOffset != want.dataOffset) std::abort();
      if (want.type == biff::kBof) ++depth;
      if (want.type == biff::kEof && --depth == 0) break;
    }
  }
  // What the checks say is the same on either index, and skipping the
  // drawing-free sheets does not change it. Each catches its own failures
  // and answers false.
  std::vector<std::wstring> said;
  std::vector<std::wstring> saidOnAll;
  const LineSink quiet{[](const std::wstring&) {}, [](const std::wstring&) {}};
  const LineSink saying{[&said](const std::wstring& line) { said.push_back(line); },
                        [&said](const std::wstring& line) { said.push_back(line); }};
  const LineSink sayingOnAll{[&saidOnAll](const std::wstring& line) { saidOnAll.push_back(line); },
                             [&saidOnAll](const std::wstring& line) { saidOnAll.push_back(line); }};
  std::vector<SheetSubstream> everySheet = sheets;
  for (SheetSubstream& sheet : everySheet) sheet.drawingFree = false;
  if (CheckAllContainers(records, sheets, stream, saying) != CheckAllContainers(all, everySheet, stream, sayingOnAll) ||
      said != saidOnAll) {
    std::abort();
  }
  for (const SheetSubstream& sheet : sheets) {
    std::vector<std::uint32_t> found;
    std::vector<std::uint32_t> foundOnAll;
    bool failed = false;
    bool failedOnAll = false;
    try {
      foundOnAll = MeasureChartDiscrepancies(sheet.bofIndex, all, stream, quiet);
    } catch (const Exception&) {
      failedOnAll = true;
    }
    // Asked for of suspicious sheets only, which have drawings: the same on
    // the index that keeps only those.
    if (!sheet.suspicious) continue;
    try {
      found = MeasureChartDiscrepancies(sheet.bofIndex, records, stream, quiet);
    } catch (const Exception&) {
      failed = true;
    }
    if (failed != failedOnAll || found != foundOnAll) std::abort();
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
