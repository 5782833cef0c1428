// The held file's copy back on its own, over plain files: what it writes,
// and each reason it has to write nothing.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "file_handle.h"
#include "platform/held_file.h"
#include "platform/scratch_file.h"
#include "platform/text.h"
#include "workbook_file.h"

using namespace testsupport;
using platform::ByteRange;
using platform::HeldFile;
using platform::WriteBackResult;

namespace {

std::wstring Wide(const std::string& path) { return platform::DecodeNative(path); }

class HeldFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Nine chunks of the comparison and a bit: large enough to be compared
    // in two halves (split at 4 MiB), so that ranges can straddle a chunk's
    // end and the halves' border, and a difference can sit in either half.
    original_.resize(9 * (1u << 20) + 5000);
    std::mt19937 random(3);
    for (auto& b : original_) b = static_cast<std::uint8_t>(random());
    path_ = dir_.file("book.xls");
    WriteFileBytes(path_, original_);
  }

  // The repair: `ranges` inverted; written as the repaired copy.
  Bytes Repair(const std::vector<ByteRange>& ranges) {
    Bytes repaired = original_;
    for (const ByteRange& r : ranges) {
      for (std::uint64_t i = r.offset; i < r.offset + r.length; ++i) repaired[i] = static_cast<std::uint8_t>(~repaired[i]);
    }
    platform::Win32Error error = 0;
    EXPECT_TRUE(platform::ScratchFile::create(repaired_, error)) << error;
    EXPECT_EQ(repaired_->file().writeAt(0, repaired.data(), repaired.size()), S_OK);
    return repaired;
  }

  std::shared_ptr<HeldFile> Hold(bool forWriting = true) {
    std::shared_ptr<HeldFile> held;
    EXPECT_EQ(HeldFile::open(Wide(path_), forWriting, held), S_OK);
    return held;
  }

  static ino_t Inode(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_ino;
  }

  TempDir dir_;
  Bytes original_;
  std::string path_;
  std::shared_ptr<platform::ScratchFile> repaired_;
};

TEST_F(HeldFileTest, WritesTheRangesIntoTheSameFile) {
  // Unsorted, overlapping and touching ranges, one across a chunk's end.
  const std::vector<ByteRange> ranges = {{(1u << 20) - 3, 8}, {10, 4},     {12, 4},
                                         {16, 2},             {(4u << 20) - 2, 5}, {original_.size() - 1, 1}};
  const Bytes repaired = Repair(ranges);
  const ino_t inode = Inode(path_);
  auto held = Hold();
  ASSERT_TRUE(held);
  EXPECT_EQ(held->size(), original_.size());
  platform::Win32Error error = 0;
  ASSERT_TRUE(held->backUp(L".bak", error)) << error;
  EXPECT_EQ(ReadFileBytes(path_ + ".bak"), original_);
  EXPECT_EQ(held->writeBack(*repaired_, ranges, error), WriteBackResult::kWritten) << error;
  EXPECT_EQ(ReadFileBytes(path_), repaired);
  EXPECT_EQ(Inode(path_), inode);
  EXPECT_EQ(ReadFileBytes(path_ + ".bak"), original_);
}

TEST_F(HeldFileTest, WritesNothingWhenTheRepairDiffersOutsideItsRanges) {
  // The second difference is not among the ranges given: in the first half
  // of the comparison, then in the second.
  for (const std::uint64_t stray : {(2u << 20) + 7u, (7u << 20) + 11u}) {
    Repair({{100, 4}, {stray, 1}});
    unlink((path_ + ".bak").c_str());
    auto held = Hold();
    platform::Win32Error error = 0;
    ASSERT_TRUE(held->backUp(L".bak", error));
    EXPECT_EQ(held->writeBack(*repaired_, {{100, 4}}, error), WriteBackResult::kContentChanged) << stray;
    EXPECT_EQ(ReadFileBytes(path_), original_);
  }
}

TEST_F(HeldFileTest, WritesNothingWhenTheFileChangedAfterItsBackup) {
  const std::vector<ByteRange> ranges = {{100, 4}};
  Repair(ranges);
  // A byte changed elsewhere, its modification time put back: only the
  // comparison with the backup can see it, in either half.
  for (const std::uint64_t changed : {5000u, (8u << 20) + 3u}) {
    WriteFileBytes(path_, original_);
    unlink((path_ + ".bak").c_str());
    auto held = Hold();
    platform::Win32Error error = 0;
    ASSERT_TRUE(held->backUp(L".bak", error));
    struct stat before;
    ASSERT_EQ(stat(path_.c_str(), &before), 0);
    const int fd = open(path_.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::uint8_t x = static_cast<std::uint8_t>(~original_[changed]);
    ASSERT_EQ(pwrite(fd, &x, 1, static_cast<off_t>(changed)), 1);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
    EXPECT_EQ(held->writeBack(*repaired_, ranges, error), WriteBackResult::kContentChanged) << changed;
    Bytes expected = original_;
    expected[changed] = x;
    EXPECT_EQ(ReadFileBytes(path_), expected);
  }
  {
    // An append.
    WriteFileBytes(path_, original_);
    unlink((path_ + ".bak").c_str());
    auto held = Hold();
    platform::Win32Error error = 0;
    ASSERT_TRUE(held->backUp(L".bak", error));
    const int fd = open(path_.c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(write(fd, "more", 4), 4);
    close(fd);
    EXPECT_EQ(held->writeBack(*repaired_, ranges, error), WriteBackResult::kContentChanged);
    EXPECT_EQ(ReadFileBytes(path_).size(), original_.size() + 4);
  }
}

TEST_F(HeldFileTest, WritesNothingWhenTheNameLeadsElsewhere) {
  const std::vector<ByteRange> ranges = {{100, 4}};
  Repair(ranges);
  auto held = Hold();
  platform::Win32Error error = 0;
  ASSERT_TRUE(held->backUp(L".bak", error));
  const std::string other = dir_.file("other");
  WriteFileBytes(other, {'x'});
  ASSERT_EQ(rename(other.c_str(), path_.c_str()), 0);
  EXPECT_EQ(held->writeBack(*repaired_, ranges, error), WriteBackResult::kNameChanged);
  EXPECT_EQ(ReadFileBytes(path_), Bytes{'x'});
}

TEST_F(HeldFileTest, NeedsABackupAndTheRightToWrite) {
  const std::vector<ByteRange> ranges = {{100, 4}};
  Repair(ranges);
  platform::Win32Error error = 0;
  {
    auto held = Hold();
    EXPECT_EQ(held->writeBack(*repaired_, ranges, error), WriteBackResult::kNotWritable)
        << "no backup yet";
  }
  {
    auto held = Hold(false);
    ASSERT_TRUE(held->backUp(L".bak", error));
    EXPECT_EQ(held->writeBack(*repaired_, ranges, error), WriteBackResult::kNotWritable);
    EXPECT_EQ(error, platform::kErrorAccessDenied);
  }
  EXPECT_EQ(ReadFileBytes(path_), original_);
}

TEST_F(HeldFileTest, ABackupNameTakenByAnythingIsNeverWrittenThrough) {
  auto held = Hold();
  platform::Win32Error error = 0;
  // A dangling link: following it would create a file elsewhere.
  const std::string elsewhere = dir_.file("elsewhere");
  ASSERT_EQ(symlink(elsewhere.c_str(), (path_ + ".bak").c_str()), 0);
  EXPECT_FALSE(held->backUp(L".bak", error));
  EXPECT_EQ(error, platform::kErrorFileExists);
  EXPECT_NE(access(elsewhere.c_str(), F_OK), 0);
  ASSERT_TRUE(held->backUp(L".bak001", error));
  EXPECT_EQ(ReadFileBytes(path_ + ".bak001"), original_);
}

// The names in the test's folder, sorted.
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(HeldFileTest, ABackupStartedEarlyIsNamedOnlyWhenAskedFor) {
  const std::vector<ByteRange> ranges = {{100, 4}, {(6u << 20) + 1, 2}};
  const Bytes repaired = Repair(ranges);
  const std::vector<std::string> before = Names(dir_.path());
  platform::Win32Error error = 0;
  {
    // Never asked for: nothing is left, and letting go waits for it.
    auto held = Hold();
    held->startBackup();
  }
  EXPECT_EQ(Names(dir_.path()), before);
  {
    // A name taken meanwhile is refused, the next one gets the whole copy
    // and the metadata, and the copy back goes on from it.
    ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
    auto held = Hold();
    held->startBackup();
    held->startBackup();  // a second start changes nothing
    const std::string elsewhere = dir_.file("elsewhere");
    ASSERT_EQ(symlink(elsewhere.c_str(), (path_ + ".bak").c_str()), 0);
    EXPECT_FALSE(held->backUp(L".bak", error));
    EXPECT_EQ(error, platform::kErrorFileExists);
    EXPECT_NE(access(elsewhere.c_str(), F_OK), 0);
    ASSERT_TRUE(held->backUp(L".bak001", error)) << error;
    EXPECT_EQ(ReadFileBytes(path_ + ".bak001"), original_);
    struct stat st {};
    ASSERT_EQ(stat((path_ + ".bak001").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(held->writeBack(*repaired_, ranges, error), WriteBackResult::kWritten) << error;
    EXPECT_EQ(ReadFileBytes(path_), repaired);
  }
  {
    // Made from the file as it stood when started: a change after that,
    // its modification time put back, is still seen by the comparison.
    WriteFileBytes(path_, original_);
    unlink((path_ + ".bak").c_str());
    unlink((path_ + ".bak001").c_str());
    auto held = Hold();
    held->startBackup();
    ASSERT_TRUE(held->backUp(L".bak", error)) << error;
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    const int fd = open(path_.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::uint8_t x = static_cast<std::uint8_t>(~original_[7000]);
    ASSERT_EQ(pwrite(fd, &x, 1, 7000), 1);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
    EXPECT_EQ(held->writeBack(*repaired_, ranges, error), WriteBackResult::kContentChanged);
    EXPECT_EQ(ReadFileBytes(path_ + ".bak"), original_);
  }
}

// A workbook followed by a hole to 40 GB: the comparison reads only where
// any of the three files holds data, and still sees a foreign write into
// the original's hole (its modification time put back).
TEST_F(HeldFileTest, SparseFilesAreComparedWhereTheyHoldData) {
  constexpr off_t kApparent = off_t{40} << 30;
  const std::vector<ByteRange> ranges = {{100, 4}, {original_.size() - 3, 2}};
  for (const bool foreignWrite : {false, true}) {
    SCOPED_TRACE(foreignWrite ? "a write into the hole" : "no other writer");
    WriteFileBytes(path_, original_);
    unlink((path_ + ".bak").c_str());
    if (truncate(path_.c_str(), kApparent) != 0) GTEST_SKIP() << "the file system takes no 40 GB file";
    Repair(ranges);
    ASSERT_EQ(ftruncate(static_cast<int>(repaired_->nativeHandle()), kApparent), 0);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    auto held = Hold();
    platform::Win32Error error = 0;
    ASSERT_TRUE(held->backUp(L".bak", error)) << error;
    if (foreignWrite) {
      const int fd = open(path_.c_str(), O_WRONLY);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(pwrite(fd, "x", 1, kApparent - (off_t{7} << 30)), 1);
      const struct timespec times[2] = {st.st_atim, st.st_mtim};
      ASSERT_EQ(futimens(fd, times), 0);
      close(fd);
    }
    EXPECT_EQ(held->writeBack(*repaired_, ranges, error),
              foreignWrite ? WriteBackResult::kContentChanged : WriteBackResult::kWritten)
        << error;
    held.reset();
    struct stat after {};
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, kApparent);
    EXPECT_LT(after.st_blocks * 512, off_t{64} << 20) << "the hole stays a hole";
  }
}

TEST_F(HeldFileTest, OpensOnlyRegularFiles) {
  std::shared_ptr<HeldFile> held;
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(HeldFile::open(Wide(fifo), true, held), STG_E_FILEALREADYEXISTS) << "and no wait for a writer";
  EXPECT_EQ(HeldFile::open(Wide(dir_.path()), false, held), STG_E_ACCESSDENIED);
  EXPECT_EQ(HeldFile::open(Wide(dir_.path() + "/"), false, held), STG_E_ACCESSDENIED);
  EXPECT_EQ(HeldFile::open(Wide(dir_.file("missing")), false, held), STG_E_FILENOTFOUND);
  EXPECT_EQ(HeldFile::open(Wide(dir_.file("missing/book.xls")), false, held), STG_E_PATHNOTFOUND);
  EXPECT_FALSE(held);
}

}  // namespace
