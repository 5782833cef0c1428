// Shared helpers of the drawing engine tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drawing/LineSink.h"
#include "drawing_builder.h"
#include "platform/text.h"
#include "workbook/BiffRecordReader.h"
#include "workbook/SubstreamDiscovery.h"
#include "workbook/WorkbookStream.h"
#include "workbook_file.h"
#include "workbook_test_util.h"

namespace drawingtest {

using testsupport::Bytes;

// The lines the engine wrote, per stream.
struct CapturedLines {
  std::vector<std::wstring> output;
  std::vector<std::wstring> error;
  bookmender::LineSink sink() {
    return {[this](const std::wstring& line) { output.push_back(line); },
            [this](const std::wstring& line) { error.push_back(line); }};
  }
};

// A workbook file in a fresh folder, opened read-write, with its record index.
class OpenedWorkbook {
 public:
  // From a Workbook stream.
  explicit OpenedWorkbook(const Bytes& workbookStream) {
    open(WriteWorkbook(dir_, workbookStream));
  }
  // From a copy of an existing workbook file (the original is never opened).
  static std::unique_ptr<OpenedWorkbook> copyOf(const std::string& sourcePath) {
    return std::unique_ptr<OpenedWorkbook>(new OpenedWorkbook(sourcePath, 0));
  }

  bookmender::WorkbookStream& stream() { return stream_; }
  const bookmender::BiffRecordList& records() const { return records_; }
  std::vector<bookmender::SheetSubstream> sheets() const {
    return bookmender::FindSheetSubstreams(records_);
  }
  // The whole Workbook stream as it is now.
  Bytes contents() {
    Bytes bytes(stream_.size());
    stream_.seek(0, bookmender::SeekFromStart);
    EXPECT_EQ(stream_.read(bytes.data(), stream_.size()), stream_.size());
    return bytes;
  }

 private:
  OpenedWorkbook(const std::string& sourcePath, int) {
    const std::string path = dir_.file("copy.xls");
    testsupport::WriteFileBytes(path, testsupport::ReadFileBytes(sourcePath));
    open(path);
  }
  void open(const std::string& path) {
    stream_.open(platform::DecodeNative(path), false);
    records_ = bookmender::ReadBiffRecords(stream_);
  }

  testsupport::TempDir dir_;
  bookmender::WorkbookStream stream_;
  bookmender::BiffRecordList records_;
};

// Workbooks of the corpus that are sound: once tagged, a check ends with 0.
inline const std::vector<std::string>& SoundCorpusWorkbooks() {
  static const std::vector<std::string> names = {
      "44861.xls",   "WithThreeCharts.xls", "WithChart.xls", "46137.xls",
      "31749.xls",   "ConditionalFormattingSamples.xls",    "drawings.xls",
      "13224.xls"};
  return names;
}

// The corpus folder, or skips the test when it is absent.
#define DRAWING_REQUIRE_CORPUS(dirVariable)                                          \
  const std::string dirVariable = testsupport::CorpusDir();                          \
  if (dirVariable.empty()) GTEST_SKIP() << "corpus folder ../shared/corpus not found"

}  // namespace drawingtest
