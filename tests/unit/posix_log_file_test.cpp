// Logs on Linux: what is refused in a log's place, the wait for another
// writer's lock and the cut back of a piece that could not be written whole.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/log_file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "process.h"
#include "workbook_file.h"

namespace {

using namespace std::chrono_literals;
using platform::LogError;
using platform::LogFault;
using platform::LogFile;
using platform::LogUse;
using testsupport::Bytes;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

constexpr uid_t kNobody = 65534;

std::string Read(const std::string& path) {
  const Bytes bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

bool Open(LogFile& log, const std::string& path, LogError& error, LogUse use = LogUse::kLines,
          std::chrono::milliseconds wait = 200ms) {
  return log.open(platform::DecodeNative(path), use, "HDR", wait, error);
}

class PosixLogFile : public ::testing::Test {
 protected:
  testsupport::TempDir dir_;
};

TEST_F(PosixLogFile, NewOrEmptyLogGetsTheHeaderOnceAndKeepsItsDescriptorAboveTheConsole) {
  const std::string path = dir_.file("a.log");
  LogFile log;
  LogError error;
  ASSERT_TRUE(Open(log, path, error));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_GT(log.nativeHandle(), STDERR_FILENO);
  EXPECT_NE(::fcntl(static_cast<int>(log.nativeHandle()), F_GETFD) & FD_CLOEXEC, 0);
  ASSERT_TRUE(log.append("one\n", error));
  EXPECT_EQ(Read(path), "HDRone\n");

  // A second writer of the same name: no second header.
  LogFile second;
  ASSERT_TRUE(Open(second, path, error));
  ASSERT_TRUE(second.append("two\n", error));
  ASSERT_TRUE(log.append("three\n", error));
  EXPECT_EQ(Read(path), "HDRone\ntwo\nthree\n");

  // Emptied meanwhile: the next piece starts with the header again.
  ASSERT_EQ(::truncate(path.c_str(), 0), 0);
  ASSERT_TRUE(log.append("four\n", error));
  EXPECT_EQ(Read(path), "HDRfour\n");
}

TEST_F(PosixLogFile, OnlyItsOwnerMayOpenALogWhateverTheUmaskAndWhatTheFileAllowedBefore) {
  struct Case {
    mode_t umask;
    int existing;  // the mode of a file already there; -1: none
    mode_t expected;
  };
  const Case cases[] = {
      {0000, -1, 0600},    {0022, -1, 0600},    {0277, -1, 0600}, {0777, -1, 0600},
      {0000, 0644, 0600},  {0000, 0666, 0600},  {0022, 0640, 0600}, {0000, 0600, 0600},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = dir_.file("mode" + std::to_string(n++) + ".log");
    if (c.existing >= 0) {
      WriteFileBytes(path, Bytes{});
      ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(c.existing)), 0);
    }
    const mode_t before = ::umask(c.umask);
    LogFile log;
    LogError error;
    const bool opened = Open(log, path, error);
    ::umask(before);
    ASSERT_TRUE(opened) << std::oct << c.umask << " " << c.existing;
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.expected) << std::oct << c.umask << " " << c.existing;
  }
}

TEST_F(PosixLogFile, NothingButAPlainFileOfOursIsOpenedAndNoneIsWritten) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to own files as another user";
  const std::string target = dir_.file("target");
  WriteFileBytes(target, Bytes{'k', 'e', 'e', 'p'});
  ASSERT_EQ(::symlink(target.c_str(), dir_.file("link.log").c_str()), 0);
  ASSERT_EQ(::symlink(dir_.file("nowhere").c_str(), dir_.file("dangling.log").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir_.file("fifo.log").c_str(), 0666), 0);
  ASSERT_EQ(::mkdir(dir_.file("folder.log").c_str(), 0755), 0);
  ASSERT_EQ(::link(target.c_str(), dir_.file("hard.log").c_str()), 0);
  WriteFileBytes(dir_.file("theirs.log"), Bytes{'t'});
  ASSERT_EQ(::chown(dir_.file("theirs.log").c_str(), kNobody, kNobody), 0);

  const std::pair<const char*, LogFault> cases[] = {
      {"link.log", LogFault::kLink},          {"dangling.log", LogFault::kLink},
      {"fifo.log", LogFault::kNotRegular},    {"folder.log", LogFault::kNotRegular},
      {"hard.log", LogFault::kManyNames},     {"theirs.log", LogFault::kNotOwned},
  };
  for (const auto& [name, fault] : cases) {
    for (const LogUse use : {LogUse::kLines, LogUse::kChildOutput}) {
      LogFile log;
      LogError error;
      EXPECT_FALSE(Open(log, dir_.file(name), error, use)) << name;
      EXPECT_EQ(error.fault, fault) << name;
      EXPECT_FALSE(log.isOpen()) << name;
    }
  }
  EXPECT_EQ(Read(target), "keep");
  EXPECT_EQ(Read(dir_.file("theirs.log")), "t");
  EXPECT_FALSE(std::filesystem::exists(dir_.file("nowhere"))) << "a dangling link's target is not created";

  // A missing folder is the system's error, with Windows' number.
  LogFile log;
  LogError error;
  EXPECT_FALSE(Open(log, dir_.file("missing/x.log"), error));
  EXPECT_EQ(error.fault, LogFault::kSystem);
  EXPECT_EQ(error.code, platform::kErrorPathNotFound);
}

TEST_F(PosixLogFile, AnotherWritersLockIsWaitedForWithinTheBound) {
  const std::string path = dir_.file("held.log");
  LogFile log;
  LogError error;
  ASSERT_TRUE(Open(log, path, error, LogUse::kLines, 5000ms));
  ASSERT_TRUE(log.append("a\n", error));

  // Let go of after 300 ms: the piece waits and goes in whole.
  for (const char kind : {'w', 'p'}) {
    auto holder = std::make_unique<testsupport::LockHolder>(path, kind);
    ASSERT_TRUE(holder->held());
    std::thread release([&holder] {
      std::this_thread::sleep_for(300ms);
      holder.reset();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(log.append(std::string(1, kind) + "\n", error)) << kind;
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms) << kind;
    release.join();
  }
  EXPECT_EQ(Read(path), "HDRa\nw\np\n");

  // Held past the bound: nothing is written.
  LogFile impatient;
  ASSERT_TRUE(Open(impatient, path, error, LogUse::kLines, 150ms));
  testsupport::LockHolder holder(path, 'w');
  ASSERT_TRUE(holder.held());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(impatient.append("lost\n", error));
  EXPECT_EQ(error.fault, LogFault::kHeld);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
  EXPECT_EQ(Read(path), "HDRa\nw\np\n");
}

TEST_F(PosixLogFile, PieceThatDoesNotFitIsCutOffAgain) {
  // A file-size limit takes part of the piece and refuses the rest (EFBIG),
  // as a full disk does; run in a child, whose limit ends with it.
  const std::string path = dir_.file("limited.log");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
    LogFile log;
    LogError error;
    if (!Open(log, path, error)) ::_exit(11);
    if (!log.append(std::string(50, 'a'), error)) ::_exit(12);
    if (log.append(std::string(60, 'b'), error)) ::_exit(13);
    if (error.fault != LogFault::kSystem || error.code != platform::kErrorFileTooLarge) ::_exit(14);
    if (!log.append(std::string(40, 'c'), error)) ::_exit(15);  // what fits still goes in
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "11: no open, 12: first piece, 13: the second fitted, 14: wrong reason, "
                                       "15: the third";
  EXPECT_EQ(Read(path), "HDR" + std::string(50, 'a') + std::string(40, 'c'));
}

TEST_F(PosixLogFile, ChildrenWriteThroughTheOpenLogNotItsName) {
  const std::string path = dir_.file("detail.log");
  LogFile log;
  LogError error;
  ASSERT_TRUE(Open(log, path, error, LogUse::kChildOutput));
  // The name goes to another file after the open; the children still write
  // to the one that was opened and checked.
  ASSERT_EQ(::rename(path.c_str(), dir_.file("opened.log").c_str()), 0);
  ASSERT_EQ(::symlink(dir_.file("elsewhere").c_str(), path.c_str()), 0);
  for (const char* word : {"one", "two"}) {
    EXPECT_EQ(platform::RunAndWait(L"/bin/sh", {{L"-c", false}, {L"echo " + platform::DecodeNative(word), false}},
                                   &log),
              0);
  }
  EXPECT_EQ(Read(dir_.file("opened.log")), "one\ntwo\n") << "no header for children's output";
  EXPECT_FALSE(std::filesystem::exists(dir_.file("elsewhere")));
}

}  // namespace
