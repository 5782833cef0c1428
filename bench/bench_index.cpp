// Opening and indexing a large workbook against one sequential read of the
// same file, and the index's peak memory. Targets: indexing within 10x the
// read; at its peak the index holds at most 8 bytes per record and 1 MiB.
//   bench_index [folder]   (default: the temporary folder)
// Each peak is the peak resident size of a fresh process (this program run
// again in a hidden mode) that opens the workbook, and indexes it or not: the
// difference is the index alone, without this process's own heap.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
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

constexpr const char* kOpenMode = "--peak-open";
constexpr const char* kIndexMode = "--peak-index";

struct Peak {
  long resident = -1;  // KiB
  long address = -1;   // KiB of address space, what a limit on it meets
};

Peak OwnPeak() {
  Peak peak;
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return peak;
  char line[256];
  while (std::fgets(line, sizeof line, status)) {
    std::sscanf(line, "VmHWM: %ld kB", &peak.resident);
    std::sscanf(line, "VmPeak: %ld kB", &peak.address);
  }
  std::fclose(status);
  return peak;
}

// The hidden mode: open the workbook at `path`, index it when asked, and
// print the peak.
int PeakChild(const char* mode, const char* path) {
  bookmender::WorkbookStream stream;
  stream.open(platform::DecodeNative(path), true);
  if (std::strcmp(mode, kIndexMode) == 0) {
    const auto list = bookmender::ReadBiffRecords(stream);
    if (list.empty()) return 1;
  }
  const Peak peak = OwnPeak();
  std::printf("%ld %ld\n", peak.resident, peak.address);
  return 0;
}

// The peaks of this program run again in `mode` on `path`. Not getrusage of
// the child: a forked child's maximum starts at this process's size, which
// would hide a small index.
Peak PeakOf(const char* mode, const std::string& path) {
  int out[2];
  if (pipe(out) != 0) std::exit(1);
  const pid_t child = fork();
  if (child < 0) std::exit(1);
  if (child == 0) {
    dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    const char* args[] = {"bench_index", mode, path.c_str(), nullptr};
    execv("/proc/self/exe", const_cast<char* const*>(args));
    _exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buffer[64];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  Peak peak;
  const bool read = std::sscanf(text.c_str(), "%ld %ld", &peak.resident, &peak.address) == 2;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !read ||
      peak.resident <= 0 || peak.address <= 0) {
    std::fprintf(stderr, "bench_index: the %s run on %s failed\n", mode, path.c_str());
    std::exit(1);
  }
  return peak;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && (std::strcmp(argv[1], kOpenMode) == 0 || std::strcmp(argv[1], kIndexMode) == 0)) {
    return PeakChild(argv[1], argv[2]);
  }
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
  const std::string path = folder + "/bench_index_" + std::to_string(getpid()) + ".xls";
  const std::string smallPath = folder + "/bench_index_small_" + std::to_string(getpid()) + ".xls";

  const std::uint32_t records = 1300000;
  {
    testsupport::BiffBuilder b;
    b.bof(0x0005);
    const testsupport::Bytes number(14, 0x42);  // a NUMBER record's size
    for (std::uint32_t i = 0; i < records; ++i) b.record(0x0203, number);
    b.eof();
    testsupport::WriteFileBytes(path, testsupport::BuildWorkbookFile(b.bytes()));
    std::printf("workbook: %zu bytes, %u records\n", b.bytes().size(), records + 2);
    testsupport::BiffBuilder small;
    small.bof(0x0005);
    small.eof();
    testsupport::WriteFileBytes(smallPath, testsupport::BuildWorkbookFile(small.bytes()));
  }

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
  std::printf("sequential read: %.4f s\nopen and index: %.4f s\nratio: %.1fx (target 10x)\n", bestRead,
              bestIndex, bestIndex / bestRead);

  const Peak smallOpen = PeakOf(kOpenMode, smallPath), smallIndexed = PeakOf(kIndexMode, smallPath);
  const Peak bigOpen = PeakOf(kOpenMode, path), bigIndexed = PeakOf(kIndexMode, path);
  ::unlink(path.c_str());
  ::unlink(smallPath.c_str());
  const long limit = (8l * (records + 2)) / 1024 + 1024;
  bool withinTarget = true;
  const auto report = [&](const char* what, long smallOpenKiB, long smallIndexedKiB, long bigOpenKiB,
                          long bigIndexedKiB) {
    const long smallIndex = smallIndexedKiB - smallOpenKiB, bigIndex = bigIndexedKiB - bigOpenKiB;
    std::printf("index peak, %s: %ld KiB for 2 records, %ld KiB for %u: %.2f bytes per record\n", what,
                smallIndex, bigIndex, records + 2, 1024.0 * static_cast<double>(bigIndex) / (records + 2));
    withinTarget = withinTarget && bigIndex <= limit;
  };
  std::printf("index peak target: 8 bytes per record and 1 MiB (%ld KiB)\n", limit);
  report("resident", smallOpen.resident, smallIndexed.resident, bigOpen.resident, bigIndexed.resident);
  report("address space", smallOpen.address, smallIndexed.address, bigOpen.address, bigIndexed.address);
  if (bestIndex > 10 * bestRead) return 3;
  return withinTarget ? 0 : 4;
}
