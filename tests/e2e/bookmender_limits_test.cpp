// The built Bookmender at the limits of its process and its disks: file size
// and memory limits, headers that claim huge tables, full disks, and sparse
// workbooks.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bookmender_run.h"
#include "cfb_writer.h"
#include "charted_workbook.h"
#include "drawing_builder.h"
#include "process.h"
#include "platform/cfb_format.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace bookmendertest;

namespace {

TEST_F(BookmenderRun, FileSizeLimitFailsTheTemporaryCopy) {
  const Bytes file = TaggedFile(MakeWorkbook({6}, 200).stream);
  const std::string path = Write("book.xls", file);
  ProcessOptions limited;
  limited.fileSizeLimit = 1024;
  const ProcessResult r = Run({"-fix", path}, limited);
  EXPECT_EQ(r.exitCode, 55);
  EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Failed to create temp copy - Win32 error code: 223"});
  const std::vector<std::string> lines = Lines(r.output);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Checking Office drawing container integrity"), 0);
  EXPECT_EQ(lines.back(), "Final result: Specified file needs fixing, but Bookmender failed to make a temporary copy of it");
  EXPECT_EQ(ReadFileBytes(path), file);
  EXPECT_FALSE(Exists(path + ".bak"));
}

// A sheet of millions of empty records needs more memory for its index than
// the process may have: its records are held until its end, when it is known
// whether it has drawings. A malformed answer naming the size, no abort. The
// same records in the workbook globals, which no check reads, are counted and
// let go as they are read: that run fits the limit.
TEST_F(BookmenderRun, IndexBeyondTheMemoryLimitIsMalformed) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit allows";
#endif
  ProcessOptions limited;
  limited.addressSpaceLimit = 48ll << 20;
  // The same limit leaves room for an ordinary run.
  const std::string small = Write("small.xls", TaggedFile(MakeWorkbook({6}).stream));
  EXPECT_EQ(Run({"-check", small}, limited).exitCode, 1);

  // The index of one sheet alone (4.25 bytes a record, 64 MiB) is beyond
  // the limit.
  const std::size_t records = 15u << 20;
  for (const bool inSheet : {true, false}) {
    BiffBuilder b;
    b.bof();
    if (inSheet) {
      b.eof();
      b.bof();
    }
    Bytes stream = b.bytes();
    stream.reserve(stream.size() + 4 * records + 8);
    for (std::size_t i = 0; i < records; ++i) stream.insert(stream.end(), {0x01, 0x02, 0x00, 0x00});
    BiffBuilder end;
    end.eof();
    if (!inSheet) end.eof();  // a stray EOF after the globals: still one record more
    stream.insert(stream.end(), end.bytes().begin(), end.bytes().end());
    const std::string huge = Write(inSheet ? "sheet.xls" : "globals.xls", TaggedFile(stream));
    const ProcessResult r = Run({"-check", huge}, limited);
    EXPECT_EQ(r.signal, 0);
    if (inSheet) {
      EXPECT_EQ(r.exitCode, 2);
      EXPECT_EQ(Lines(r.error),
                std::vector<std::string>{"I/O exception [Not enough memory to index a Workbook stream of " +
                                         std::to_string(stream.size()) + " bytes]"});
      EXPECT_EQ(Lines(r.output).back(), "Final result: The file is malformed in a way that Bookmender cannot fix");
    } else {
      EXPECT_EQ(r.exitCode, 0) << r.error;
      const std::vector<std::string> lines = Lines(r.output);
      EXPECT_EQ(std::count(lines.begin(), lines.end(), "Read " + std::to_string(records + 3) + " BIFF records."), 1);
      EXPECT_EQ(lines.back(), "Final result: No problems were detected with the file");
    }
  }
}

// A workbook whose list of FAT sectors cannot be trusted is malformed, found
// before anything is allocated for it: a header that claims a FAT sector for
// every sector of a file extended with a hole to 256 GB or 2 TB (tables of
// gigabytes once), or a list that names one sector twice. A sound workbook
// with such a hole runs within the same limit.
TEST_F(BookmenderRun, FatSectorListThatCannotBeTrustedIsMalformedAtOnce) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit allows";
#endif
  namespace cfb = platform::cfb;
  ProcessOptions limited;
  limited.addressSpaceLimit = 256ll << 20;
  const Bytes damaged = TaggedFile(MakeWorkbook({6}).stream);  // 1 were its list sound
  const Bytes sound = TaggedFile(MakeWorkbook({0}).stream);
  struct Case {
    const char* what;
    const Bytes& file;
    std::uint64_t size;  // extended with a hole to this size; 0: as built
    bool claimEverySector;
    bool nameTwice;
    int exitCode;
  };
  const Case cases[] = {
      {"every sector of 256 GB claimed", damaged, std::uint64_t{256} << 30, true, false, 2},
      {"every sector of 2 TB claimed", damaged, std::uint64_t{2} << 40, true, false, 2},
      {"a FAT sector named twice", damaged, 0, false, true, 2},
      {"sound, 2 TB", sound, std::uint64_t{2} << 40, false, false, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    Bytes file = c.file;
    const std::uint64_t size = c.size == 0 ? file.size() : c.size;
    if (c.claimEverySector)
      PutU32(file, cfb::kHdrFatSectorCount,
             static_cast<std::uint32_t>(std::min<std::uint64_t>((size - 1) / 512, cfb::kMaxRegSect + 1ull)));
    if (c.nameTwice) {
      PutU32(file, cfb::kHdrFatSectorCount, 2);
      PutU32(file, cfb::kHdrDifat + 4, GetU32(file, cfb::kHdrDifat));
    }
    const std::string path = Write("list" + std::to_string(n++) + ".xls", file);
    if (size > file.size() && truncate(path.c_str(), static_cast<off_t>(size)) != 0)
      GTEST_SKIP() << "the file system refuses a file of " << size << " bytes: " << std::strerror(errno);
    const ProcessResult r = Run({"-check", path}, limited);
    EXPECT_EQ(r.signal, 0) << c.what;
    EXPECT_EQ(r.exitCode, c.exitCode) << c.what << ": " << r.error;
    if (c.exitCode == 2) {
      EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Error opening workbook stream [HRESULT(80030109)]"}) << c.what;
      EXPECT_EQ(Lines(r.output),
                Concat(Banner(path), {"Final result: The file is malformed in a way that Bookmender cannot fix"}))
          << c.what;
    }
  }
}

// A small file system of its own, mounted for one test (needs root).
class TinyFileSystem {
 public:
  TinyFileSystem(const std::string& folder, std::size_t bytes) : folder_(folder) {
    mkdir(folder.c_str(), 0777);
    mounted_ = mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) == 0;
    if (mounted_) chmod(folder.c_str(), 01777);
  }
  ~TinyFileSystem() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

TEST_F(BookmenderRun, DiskFullAtTheTemporaryCopyAndAtTheBackup) {
  const Bytes file = TaggedFile(MakeWorkbook({6}, 2000).stream);
  ASSERT_GT(file.size(), 20000u);
  {
    // The temporary folder cannot hold the copy.
    TinyFileSystem tiny(tmp_, 4096);
    if (!tiny.mounted()) GTEST_SKIP() << "cannot mount a small file system here";
    const std::string path = Write("book.xls", file);
    const ProcessResult r = Run({"-fix", path});
    EXPECT_EQ(r.exitCode, 55);
    EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Failed to create temp copy - Win32 error code: 112"});
    EXPECT_EQ(ReadFileBytes(path), file);
    EXPECT_TRUE(TempFolderEmpty());
  }
  {
    // The workbook's folder holds the original but not a backup.
    const std::string folder = dir_.file("small");
    TinyFileSystem tiny(folder, file.size() + 4096);
    ASSERT_TRUE(tiny.mounted());
    const std::string path = folder + "/book.xls";
    WriteFileBytes(path, file);
    const ProcessResult r = Run({"-fix", path});
    EXPECT_EQ(r.exitCode, 57);
    EXPECT_EQ(Lines(r.error), std::vector<std::string>{"Backup failed with error code 112"});
    EXPECT_EQ(ReadFileBytes(path), file);
    EXPECT_FALSE(Exists(path + ".bak"));
  }
}

// The first `size` bytes of a file.
Bytes FileStart(const std::string& path, std::size_t size) {
  Bytes bytes(size);
  const int fd = open(path.c_str(), O_RDONLY);
  const ssize_t got = fd < 0 ? -1 : pread(fd, bytes.data(), size, 0);
  if (fd >= 0) close(fd);
  bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return bytes;
}

// A damaged workbook followed by a hole to 2 GB (the compound file has no use
// for bytes after its last sector) needs a temporary folder of only what it
// holds on disk: its temporary copy, its backup and its repair keep the hole.
TEST_F(BookmenderRun, SparseWorkbookOfTwoGigabytesFitsASmallTemporaryFolder) {
  const std::vector<std::int64_t> moved{0, 12};
  const ChartedWorkbook damaged = MakeWorkbook(moved);
  const Bytes damagedFile = TaggedFile(damaged.stream);
  const Bytes soundFile = TaggedFile(MakeWorkbook({0, 0}).stream);
  const off_t size = off_t{2} << 30;
  const std::string path = Write("book.xls", damagedFile);
  ASSERT_EQ(truncate(path.c_str(), size), 0);
  TinyFileSystem tiny(tmp_, 300 << 20);
  if (!tiny.mounted()) GTEST_SKIP() << "cannot mount a 300 MB tmpfs as the temporary folder (needs root)";

  ProcessResult r = Run({"-check", path});
  EXPECT_EQ(r.exitCode, 1) << r.error;
  EXPECT_EQ(Lines(r.output), Concat(Concat(Banner(path), RepairLines(damaged, moved)),
                                    {"Final result: A problem was detected that Bookmender can fix"}));
  EXPECT_EQ(r.error, "");

  r = Run({"-fix", path});
  EXPECT_EQ(r.exitCode, 1) << r.error;
  EXPECT_EQ(Lines(r.output), Concat(Concat(Banner(path), RepairLines(damaged, moved)),
                                    {"Making backup copy of original file",
                                     "Backup copy successfully created: " + path + ".bak",
                                     "Replacing original file with fixed version", "Final result: A problem was fixed"}));
  EXPECT_EQ(r.error, "");
  EXPECT_TRUE(TempFolderEmpty()) << "a tmr file was left on the tmpfs";
  EXPECT_EQ(Run({"-check", path}).exitCode, 0);

  for (const auto& [name, start] : {std::make_pair(path, soundFile), std::make_pair(path + ".bak", damagedFile)}) {
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_size, size) << name;
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << name << " lost its hole";
    EXPECT_EQ(FileStart(name, start.size()), start) << name;
  }
}

}  // namespace
