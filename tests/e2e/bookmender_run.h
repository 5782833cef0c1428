// The fixture of the Bookmender end-to-end tests: the built program run in a
// scratch folder with a temporary folder of its own, workbooks made here, and
// the lines a repair prints computed from a workbook's layout.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "charted_workbook.h"
#include "frontend/ResultRecord.h"
#include "process.h"
#include "sha256.h"
#include "workbook_file.h"

namespace bookmendertest {

using namespace testsupport;

inline const std::string kSeparator(80, '-');

// An independent walk over the record headers of a Workbook stream: the data
// offset of every record.
inline std::vector<std::uint32_t> RecordDataOffsets(const Bytes& stream) {
  std::vector<std::uint32_t> offsets;
  std::size_t p = 0;
  while (p + 4 <= stream.size()) {
    offsets.push_back(static_cast<std::uint32_t>(p + 4));
    p += 4 + (stream[p + 2] | (stream[p + 3] << 8));
  }
  return offsets;
}

// A worksheet with charts whose drawing containers were damaged by moving
// `moved[i]` bytes from the sheet to chart i (0: chart i is exact), after
// `fillers` records in the globals.
inline ChartedWorkbook MakeWorkbook(const std::vector<std::int64_t>& moved, long fillers = 0) {
  ChartedWorkbookRecipe recipe;
  recipe.moved = moved;
  recipe.fillers = fillers;
  return BuildChartedWorkbook(recipe);
}

inline Bytes TaggedFile(const Bytes& stream, const std::u16string& tag = u"TMTAG") {
  WorkbookFileOptions options;
  options.tagProperty = tag;
  return BuildWorkbookFile(stream, options);
}

inline std::string Hex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (const char c : bytes) {
    std::snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(c));
    out += two;
  }
  return out;
}

// A pipe whose write end the next child inherits; the test keeps the read end.
struct ChildPipe {
  ChildPipe() {
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    EXPECT_EQ(::fcntl(ends[1], F_SETFD, 0), 0);
  }
  ~ChildPipe() {
    ::close(ends[0]);
    if (ends[1] >= 0) ::close(ends[1]);
  }
  std::string option() const { return "-result:" + std::to_string(ends[1]); }
  // All the child wrote, once this process's own write end is closed.
  std::string read() {
    ::close(ends[1]);
    ends[1] = -1;
    std::string bytes;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(ends[0], buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes;
  }
  int ends[2] = {-1, -1};
};

// What a repair left, computed here: the file's and the backup's digests,
// the file's size and modification time.
inline bookmender::RepairProof ProofOf(const std::string& path, const std::string& backup) {
  bookmender::RepairProof proof;
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  proof.sha256 = Sha256Hex(ReadFileBytes(path));
  proof.size = static_cast<std::uint64_t>(st.st_size);
  proof.mtimeNs = static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
  proof.backupSha256 = Sha256Hex(ReadFileBytes(backup));
  return proof;
}

inline std::string Program() { return BOOKMENDER_EXE; }

class BookmenderRun : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = dir_.file("tmp");
    ASSERT_EQ(mkdir(tmp_.c_str(), 0777), 0);
    ASSERT_EQ(chmod(tmp_.c_str(), 01777), 0);
  }
  void TearDown() override { EXPECT_TRUE(TempFolderEmpty()) << "a temporary file was left behind"; }

  ProcessResult Run(const std::vector<std::string>& arguments, ProcessOptions options = {}) {
    std::vector<std::string> argv{Program()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    options.environment.push_back("TMPDIR=" + tmp_);
    return RunProcess(argv, options);
  }
  bool TempFolderEmpty() const {
    DIR* d = opendir(tmp_.c_str());
    if (!d) return true;
    bool empty = true;
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") empty = false;
    }
    closedir(d);
    return empty;
  }
  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_.file(name);
    WriteFileBytes(path, bytes);
    return path;
  }
  bool Exists(const std::string& path) const { return access(path.c_str(), F_OK) == 0; }

  TempDir dir_;
  std::string tmp_;
};

inline std::vector<std::string> Banner(const std::string& file) {
  return {kSeparator, "Checking " + file, kSeparator};
}

inline std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The driver's lines for a workbook made by MakeWorkbook, computed from its
// layout rather than from the program.
inline std::vector<std::string> RepairLines(const ChartedWorkbook& w, const std::vector<std::int64_t>& moved) {
  const std::vector<std::uint32_t> offsets = RecordDataOffsets(w.stream);
  const std::string sheet = std::to_string(w.layout.sheetBof);
  std::vector<std::string> lines{
      "Read " + std::to_string(offsets.size()) + " BIFF records.",
      "Suspicious sheet beginning at record " + sheet,
      "Looking at suspicious sheet starting at " + sheet,
  };
  std::int64_t total = 0;
  for (std::size_t i = 0; i < moved.size(); ++i) {
    const std::uint32_t expected = w.chartDrawingSizes[i] - 8;
    lines.push_back("Chart substream starts at " + std::to_string(w.layout.chartBofs[i]));
    lines.push_back("Expected size: " + std::to_string(expected) +
                    ", Actual size: " + std::to_string(expected + moved[i]));
    lines.push_back("Size discrepancy for this substream: " + std::to_string(moved[i]));
    total += moved[i];
  }
  lines.push_back("Sheet starting at " + sheet + " needs fixing");
  lines.push_back("Making temporary copy of file to try fix");
  lines.push_back("Fixing sheet at record " + sheet);
  // The DgContainer opens the substream's first drawing record; the group
  // follows the 8-byte DgContainer header and the 16-byte drawing atom.
  const auto adjusting = [&](std::uint32_t firstDrawingRecord) {
    const std::uint32_t dg = offsets.at(firstDrawingRecord);
    lines.push_back("Adjusting DgContainer at Workbook stream offset " + std::to_string(dg));
    lines.push_back("Adjusting SpgrContainer at Workbook stream offset " + std::to_string(dg + 24));
  };
  for (std::size_t i = 0; i < moved.size(); ++i) {
    if (moved[i] == 0) continue;
    lines.push_back("Fixing substream " + std::to_string(i) + " - size discrepancy is " +
                    std::to_string(moved[i]));
    adjusting(w.layout.chartDrawingRecords[i].at(0));
  }
  lines.push_back("Fixing sheet - size discrepancy is " + std::to_string(total));
  adjusting(w.layout.sheetDrawingRecords.at(0));
  lines.push_back("Checking Office drawing container integrity");
  lines.push_back("Container integrity check OK");
  return lines;
}

}  // namespace bookmendertest
