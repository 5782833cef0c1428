// Arbitrary bytes as a workbook file: open, tag check, index, validate,
// substream discovery, the drawing stream, the container integrity check and
// the discrepancy measurement (all read-only) must end in an exception of the
// family or succeed, never crash, hang or leak.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "drawing/ContainerIntegrity.h"
#include "drawing/LineSink.h"
#include "drawing/SizeDiscrepancy.h"
#include "errors/Exception.h"
#include "platform/text.h"
#include "workbook/BiffRecordReader.h"
#include "workbook/OptimiserTag.h"
#include "workbook/SubstreamDiscovery.h"

namespace {

std::string ScratchPath() {
  const char* shm = "/dev/shm";
  const std::string folder = access(shm, W_OK) == 0 ? shm : "/tmp";
  return folder + "/fuzz_workbook_" + std::to_string(getpid()) + ".xls";
}

void Exercise(const std::wstring& path) {
  using namespace bookmender;
  try {
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
  } catch (const Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = ScratchPath();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  const bool written = std::fwrite(data, 1, size, f) == size;
  std::fclose(f);
  if (written) Exercise(platform::DecodeNative(path));
  return 0;
}
