// The POSIX side's descriptor toolkit: every descriptor closed exactly once,
// every byte written, and the folder of a path as the file copies and the
// error classification need it.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>

#include "posix/fd.h"
#include "workbook_file.h"

namespace {

using platform::Fd;

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(PosixFd, ClosesOnceWhereverItEnds) {
  int raw[2];
  ASSERT_EQ(::pipe(raw), 0);
  {
    Fd keep(raw[0]);
    Fd moved(std::move(keep));
    EXPECT_FALSE(keep.valid());
    EXPECT_EQ(moved.get(), raw[0]);
    Fd assigned(raw[1]);
    assigned = std::move(moved);  // closes the write end it held
    EXPECT_FALSE(IsOpen(raw[1]));
    EXPECT_TRUE(IsOpen(raw[0]));
    EXPECT_EQ(assigned.close(), 0);
    EXPECT_FALSE(IsOpen(raw[0]));
    EXPECT_EQ(assigned.close(), 0);  // nothing left to close
  }
  const int kept = Fd(::dup(STDERR_FILENO)).release();
  EXPECT_TRUE(IsOpen(kept));
  ::close(kept);
}

TEST(PosixFd, OpenRetryingClosesOnExecAndReportsErrno) {
  testsupport::TempDir dir;
  const std::string path = dir.file("f");
  const Fd fd(platform::OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
  ASSERT_TRUE(fd.valid());
  EXPECT_NE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(platform::OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600), -1);
  EXPECT_EQ(errno, EEXIST);
}

TEST(PosixFd, WriteAllPutsEveryByteOrSaysWhy) {
  int raw[2];
  ASSERT_EQ(::pipe(raw), 0);
  Fd in(raw[0]), out(raw[1]);
  // Less than a pipe holds, so that one read below sees all of it.
  std::string bytes(4000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(platform::WriteAll(out.get(), bytes));
  std::string got(bytes.size() + 1, '\0');
  ASSERT_EQ(::read(in.get(), got.data(), got.size()), static_cast<ssize_t>(bytes.size()));
  got.resize(bytes.size());
  EXPECT_EQ(got, bytes);
  EXPECT_TRUE(platform::WriteAll(out.get(), std::string()));

  EXPECT_FALSE(platform::WriteAll(in.get(), bytes));  // the read end
  EXPECT_EQ(errno, EBADF);
}

TEST(PosixFd, FolderOfAPath) {
  EXPECT_EQ(platform::FolderOf("/d/e/f.xls"), "/d/e");
  EXPECT_EQ(platform::FolderOf("d/f.xls"), "d");
  EXPECT_EQ(platform::FolderOf("/f.xls"), "/");
  EXPECT_EQ(platform::FolderOf("f.xls"), ".");
  EXPECT_EQ(platform::FolderOf("/d/"), "/d");
}

}  // namespace
