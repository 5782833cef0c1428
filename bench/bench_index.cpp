// Opening and indexing a large workbook against one sequential read of the
// same file. Target: indexing within 10x the read.
//   bench_index [folder]   (default: the temporary folder)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "biff_builder.h"
#include "platform/text.h"
#include "workbook/BiffRecordReader.h"
#include "workbook_file.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double SequentialRead(const std::string& path) {
  const auto start = Clock::now();
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) std::exit(1);
  std::vector<char> buffer(1 << 20);
  while (::read(fd, buffer.data(), buffer.size()) > 0) {
  }
  ::close(fd);
  return SecondsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
  const std::string path = folder + "/bench_index_" + std::to_string(getpid()) + ".xls";

  testsupport::BiffBuilder b;
  b.bof(0x0005);
  const testsupport::Bytes number(14, 0x42);  // a NUMBER record's size
  const std::uint32_t records = 1300000;
  for (std::uint32_t i = 0; i < records; ++i) b.record(0x0203, number);
  b.eof();
  testsupport::WriteFileBytes(path, testsupport::BuildWorkbookFile(b.bytes()));
  std::printf("workbook: %zu bytes, %u records\n", b.bytes().size(), records + 2);

  double bestRead = 1e9, bestIndex = 1e9;
  for (int round = 0; round < 5; ++round) {
    bestRead = std::min(bestRead, SequentialRead(path));
    const auto start = Clock::now();
    bookmender::WorkbookStream stream;
    stream.open(platform::DecodeNative(path), true);
    const auto list = bookmender::ReadBiffRecords(stream);
    bestIndex = std::min(bestIndex, SecondsSince(start));
    if (list.size() != records + 2) std::exit(2);
  }
  ::unlink(path.c_str());
  std::printf("sequential read: %.4f s\nopen and index: %.4f s\nratio: %.1fx (target 10x)\n", bestRead,
              bestIndex, bestIndex / bestRead);
  return bestIndex <= 10 * bestRead ? 0 : 3;
}
