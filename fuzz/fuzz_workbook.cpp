// Arbitrary bytes as a workbook file: open, tag check, index, validate and
// substream discovery must end in an exception of the family or succeed,
// never crash, hang or leak.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

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
    for (const SheetSubstream& sheet : FindSheetSubstreams(records)) {
      FindSheetEmbeddedChartSubstreams(records, sheet.bofIndex);
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
