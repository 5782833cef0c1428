// Whole-file copies on Linux: the same bytes and size, the holes still holes
// (so a sparse file fits a file system far smaller than its size), shared
// blocks where the file system can reflink, and no reliance on either
// descriptor's file position.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "posix/copy_content.h"
#include "posix/fd.h"
#include "process.h"
#include "workbook_file.h"

namespace {

using platform::Fd;
using Segments = std::vector<std::pair<off_t, off_t>>;

constexpr off_t kMiB = off_t{1} << 20;

std::string Executable(const std::vector<std::string>& candidates) {
  for (const std::string& path : candidates) {
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// A file system of its own on `folder` for one test (needs root): a tmpfs
// of `bytes`, or an image file of that size formatted by `mkfs` and mounted
// through a loop device.
class MountedFolder {
 public:
  MountedFolder(const std::string& folder, off_t bytes) : folder_(folder) {
    ::mkdir(folder.c_str(), 0777);
    mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) == 0;
  }
  MountedFolder(const std::string& folder, const std::string& mkfs, const std::string& image, off_t bytes)
      : folder_(folder) {
    ::mkdir(folder.c_str(), 0777);
    {
      const Fd file(::open(image.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
      if (!file.valid() || ::ftruncate(file.get(), bytes) != 0) return;
    }
    const std::string mounter = Executable({"/usr/bin/mount", "/bin/mount"});
    mounted_ = !mounter.empty() && testsupport::RunProcess({mkfs, "-q", image}).exitCode == 0 &&
               testsupport::RunProcess({mounter, "-o", "loop", image, folder}).exitCode == 0;
  }
  ~MountedFolder() {
    if (mounted_ && ::umount(folder_.c_str()) != 0) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  MountedFolder(const MountedFolder&) = delete;
  MountedFolder& operator=(const MountedFolder&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

// The data segments as the file system reports them.
Segments DataMap(const std::string& path) {
  const Fd fd(::open(path.c_str(), O_RDONLY));
  EXPECT_TRUE(fd.valid()) << path;
  Segments map;
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return map;
  for (off_t at = 0; at < st.st_size;) {
    const off_t data = ::lseek(fd.get(), at, SEEK_DATA);
    if (data < 0) break;
    const off_t hole = ::lseek(fd.get(), data, SEEK_HOLE);
    map.emplace_back(data, hole);
    at = hole;
  }
  return map;
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

bool SameBytes(const std::string& a, const std::string& b) {
  const Fd fa(::open(a.c_str(), O_RDONLY));
  const Fd fb(::open(b.c_str(), O_RDONLY));
  if (!fa.valid() || !fb.valid()) return false;
  std::vector<char> ba(4 * kMiB), bb(4 * kMiB);
  for (off_t at = 0;; at += static_cast<off_t>(ba.size())) {
    const ssize_t na = ::pread(fa.get(), ba.data(), ba.size(), at);
    const ssize_t nb = ::pread(fb.get(), bb.data(), bb.size(), at);
    if (na != nb || na < 0) return false;
    if (na == 0) return true;
    if (std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(na)) != 0) return false;
  }
}

void WriteAt(int fd, off_t at, std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<char> bytes(size);
  for (char& c : bytes) c = static_cast<char>(random() | 1);  // no zero byte: no hole to find in them
  ASSERT_EQ(::pwrite(fd, bytes.data(), size, at), static_cast<ssize_t>(size));
}

// 256 KiB of data, a hole of 48 MiB, 300 KiB of data starting inside a block,
// and a trailing hole to 96 MiB.
constexpr off_t kSparseSize = 96 * kMiB;
void MakeSparse(const std::string& path) {
  const Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
  ASSERT_TRUE(fd.valid()) << path << ": " << std::strerror(errno);
  WriteAt(fd.get(), 0, 256 << 10, 1);
  WriteAt(fd.get(), 48 * kMiB + 1000, 300 << 10, 2);
  ASSERT_EQ(::ftruncate(fd.get(), kSparseSize), 0);
}

// Copies `from` into a new `to`, with both file positions somewhere a
// position-based copy would go wrong from: the source's at its end, the
// target's past its start. True when CopyContent said so.
bool CopyFile(const std::string& from, const std::string& to, bool toDisk = false) {
  const Fd in(::open(from.c_str(), O_RDONLY));
  const Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
  EXPECT_TRUE(in.valid() && out.valid()) << from << " -> " << to;
  EXPECT_GE(::lseek(in.get(), 0, SEEK_END), 0);
  EXPECT_EQ(::lseek(out.get(), 4096, SEEK_SET), 4096);
  const bool copied = platform::CopyContent(in.get(), out.get(), toDisk);
  EXPECT_TRUE(copied) << from << " -> " << to << ": " << std::strerror(errno);
  return copied;
}

// The copy is the source byte for byte, as long, with its holes where the
// source has them and no more blocks.
void ExpectSparseCopy(const std::string& from, const std::string& to) {
  const struct stat source = StatOf(from);
  const struct stat copy = StatOf(to);
  EXPECT_EQ(copy.st_size, source.st_size);
  EXPECT_EQ(copy.st_blocks, source.st_blocks);
  EXPECT_LT(copy.st_blocks * 512, 4 * kMiB) << "the holes were filled";
  const Segments map = DataMap(from);
  EXPECT_EQ(DataMap(to), map);
  EXPECT_GE(map.size(), 2u) << "the file system keeps no holes: the test proves nothing";
  EXPECT_TRUE(SameBytes(from, to));
}

TEST(PosixCopyContent, SparseFileKeepsItsHolesInTheTemporaryFolder) {
  testsupport::TempDir dir;
  const std::string from = dir.file("sparse"), to = dir.file("copy");
  MakeSparse(from);
  ASSERT_TRUE(CopyFile(from, to));
  ExpectSparseCopy(from, to);
}

// A tmpfs smaller than the file's size: within it, and from the temporary
// folder's file system into it (where the kernel copies nothing between
// the two and the bytes go through a buffer).
TEST(PosixCopyContent, SparseFileFitsASmallTmpfs) {
  testsupport::TempDir dir;
  const std::string folder = dir.file("small");
  const MountedFolder tmpfs(folder, 16 * kMiB);
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";

  const std::string inside = folder + "/sparse";
  MakeSparse(inside);
  ASSERT_TRUE(CopyFile(inside, folder + "/copy"));
  ExpectSparseCopy(inside, folder + "/copy");

  const std::string outside = dir.file("sparse");
  MakeSparse(outside);
  ASSERT_TRUE(CopyFile(outside, folder + "/from-outside"));
  ExpectSparseCopy(outside, folder + "/from-outside");
}

// A copy sent on to the disk as it goes is made in steps of a few MiB: data
// longer than several steps that ends inside one, and a hole between, come
// out the same in the kernel's copy and through the buffer (into a tmpfs).
TEST(PosixCopyContent, CopySentToDiskAsItGoesCoversEveryStep) {
  testsupport::TempDir dir;
  const std::string from = dir.file("long");
  {
    const Fd fd(::open(from.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
    ASSERT_TRUE(fd.valid());
    WriteAt(fd.get(), 0, 9 * kMiB + 12345, 3);
    WriteAt(fd.get(), 20 * kMiB, 3 * kMiB, 4);
    ASSERT_EQ(::ftruncate(fd.get(), 24 * kMiB + 7), 0);
  }
  const std::string folder = dir.file("small");
  const MountedFolder tmpfs(folder, 32 * kMiB);
  std::vector<std::string> targets = {dir.file("copy")};
  if (tmpfs.mounted()) targets.push_back(folder + "/copy");
  for (const std::string& to : targets) {
    ASSERT_TRUE(CopyFile(from, to, true)) << to;
    EXPECT_EQ(StatOf(to).st_size, StatOf(from).st_size) << to;
    EXPECT_EQ(DataMap(to), DataMap(from)) << to;
    EXPECT_TRUE(SameBytes(from, to)) << to;
  }
}

// Whether every extent of `path` is shared with another file.
bool AllExtentsShared(const std::string& path, std::size_t& extents) {
  constexpr std::uint32_t kMax = 64;
  const Fd fd(::open(path.c_str(), O_RDONLY));
  if (!fd.valid()) return false;
  // The kernel's layout, filled and read back through copies of real
  // structures.
  std::vector<unsigned char> raw(sizeof(fiemap) + kMax * sizeof(fiemap_extent));
  fiemap head{};
  head.fm_length = FIEMAP_MAX_OFFSET;
  head.fm_flags = FIEMAP_FLAG_SYNC;
  head.fm_extent_count = kMax;
  std::memcpy(raw.data(), &head, sizeof head);
  if (::ioctl(fd.get(), FS_IOC_FIEMAP, raw.data()) != 0) return false;
  std::memcpy(&head, raw.data(), sizeof head);
  extents = head.fm_mapped_extents;
  for (std::uint32_t i = 0; i < head.fm_mapped_extents && i < kMax; ++i) {
    fiemap_extent extent;
    std::memcpy(&extent, raw.data() + sizeof head + i * sizeof extent, sizeof extent);
    if ((extent.fe_flags & FIEMAP_EXTENT_SHARED) == 0) return false;
  }
  return extents > 0;
}

TEST(PosixCopyContent, ReflinkSharesTheSourcesBlocks) {
  const std::string mkfs = Executable({"/usr/sbin/mkfs.btrfs", "/sbin/mkfs.btrfs"});
  if (mkfs.empty()) GTEST_SKIP() << "no mkfs.btrfs (package btrfs-progs): no file system that reflinks";
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a loop device";
  testsupport::TempDir dir;
  const std::string folder = dir.file("btrfs");
  const MountedFolder btrfs(folder, mkfs, dir.file("btrfs.img"), 128 * kMiB);
  if (!btrfs.mounted()) GTEST_SKIP() << "cannot mount a loop device with btrfs here";

  const std::string from = folder + "/sparse", to = folder + "/copy";
  MakeSparse(from);
  ASSERT_TRUE(CopyFile(from, to));
  std::size_t extents = 0;
  EXPECT_TRUE(AllExtentsShared(to, extents)) << extents << " extents";
  ExpectSparseCopy(from, to);
}

TEST(PosixCopyContent, EmptyAndAllHoleFilesAndFailures) {
  testsupport::TempDir dir;
  // An empty file, and one that is nothing but a hole: the size alone.
  for (const off_t size : {off_t{0}, 10 * kMiB}) {
    const std::string from = dir.file("holes" + std::to_string(size)), to = from + ".copy";
    ASSERT_TRUE(Fd(::creat(from.c_str(), 0600)).valid());
    ASSERT_EQ(::truncate(from.c_str(), size), 0);
    ASSERT_TRUE(CopyFile(from, to));
    EXPECT_EQ(StatOf(to).st_size, size);
    EXPECT_EQ(StatOf(to).st_blocks, 0);
  }

  const std::string from = dir.file("sparse");
  MakeSparse(from);
  const Fd in(::open(from.c_str(), O_RDONLY));
  // A target not open for writing.
  const std::string target = dir.file("read-only");
  ASSERT_TRUE(Fd(::creat(target.c_str(), 0600)).valid());
  const Fd readOnly(::open(target.c_str(), O_RDONLY));
  errno = 0;
  EXPECT_FALSE(platform::CopyContent(in.get(), readOnly.get()));
  EXPECT_EQ(errno, EBADF);
  // A source that is no regular file.
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const Fd readEnd(pipe[0]), writeEnd(pipe[1]);
  const Fd out(::open(dir.file("from-pipe").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
  errno = 0;
  EXPECT_FALSE(platform::CopyContent(readEnd.get(), out.get()));
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
