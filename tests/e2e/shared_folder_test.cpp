// Bookmender -fix run by root in a folder other programs use at the same
// time: lock holders of every kind, a second run, a program that appends,
// and another user who swaps the workbook's name for a link or a FIFO. In
// every case the run ends, nothing is written where it does not belong, no
// foreign byte is lost, and the workbook holds the input or the whole repair.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "charted_workbook.h"
#include "process.h"
#include "workbook_file.h"

using namespace testsupport;

namespace {

std::string Program() { return BOOKMENDER_EXE; }

// 2,000,000 filler records make a 36 MB workbook, so that each step of a
// run takes long enough for another process to come between the steps.
const Bytes& LargeInput() {
  static const Bytes input = DamagedWorkbookFile(2000000);
  return input;
}

// Starts Bookmender with `arguments`, its output thrown away.
pid_t Start(const std::vector<std::string>& arguments, const std::string& tmp) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int null = open("/dev/null", O_RDWR);
  dup2(null, 0);
  dup2(null, 1);
  dup2(null, 2);
  const std::string env = "TMPDIR=" + tmp;
  putenv(const_cast<char*>(env.c_str()));
  static const std::string program = Program();
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// Waits for `pid` at most `seconds`; its exit code, or -1 when it had to be
// killed or died of a signal.
int Finish(pid_t pid, int seconds = 60) {
  int status = 0;
  for (int i = 0; i < seconds * 100; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

class SharedFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = dir_.file("tmp");
    ASSERT_EQ(mkdir(tmp_.c_str(), 01777), 0);
    path_ = dir_.file("book.xls");
  }

  // The repair of `input`, made by a run nobody disturbs.
  Bytes RepairOf(const Bytes& input) {
    const std::string reference = dir_.file("reference.xls");
    WriteFileBytes(reference, input);
    EXPECT_EQ(Finish(Start({"-fix", reference}, tmp_)), 1);
    Bytes repaired = ReadFileBytes(reference);
    EXPECT_NE(repaired, input);
    unlink(reference.c_str());
    unlink((reference + ".bak").c_str());
    return repaired;
  }

  void Reset(const Bytes& input) {
    for (const std::string& name : {path_, path_ + ".bak", path_ + ".bak001", path_ + ".moved"}) {
      unlink(name.c_str());
    }
    WriteFileBytes(path_, input);
  }

  TempDir dir_;
  std::string tmp_;
  std::string path_;
};

// Lock holders of each kind: a fix is refused (53) and writes nothing; a
// check is refused only by holders that write.
TEST_F(SharedFolder, LockHoldersOfEveryKindAnswer53) {
  const Bytes input = DamagedWorkbookFile(1000);
  struct Holder {
    char kind;
    const char* what;
    bool writes;
  };
  const Holder holders[] = {{'r', "OFD read lock", false},   {'w', "OFD write lock", true},
                            {'R', "POSIX read lock", false}, {'p', "POSIX write lock", true},
                            {'s', "shared flock", false},    {'f', "exclusive flock", true}};
  for (const Holder& h : holders) {
    Reset(input);
    LockHolder holder(path_, h.kind);
    ASSERT_TRUE(holder.held()) << h.what;
    EXPECT_EQ(Finish(Start({"-fix", path_}, tmp_)), 53) << h.what;
    EXPECT_EQ(ReadFileBytes(path_), input) << h.what;
    EXPECT_FALSE(Exists(path_ + ".bak")) << h.what;
    EXPECT_EQ(Finish(Start({"-check", path_}, tmp_)), h.writes ? 53 : 1) << h.what;
  }
  // An ordinary user's read lease on their own workbook: the open for
  // writing would wait until the system breaks it (45 s by default).
  Reset(input);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(chown(path_.c_str(), 65534, 65534), 0);
  LockHolder lease(path_, 'l');
  ASSERT_TRUE(lease.held());
  EXPECT_EQ(Finish(Start({"-fix", path_}, tmp_), 5), 53) << "a read lease";
  EXPECT_EQ(ReadFileBytes(path_), input);
  EXPECT_FALSE(Exists(path_ + ".bak"));
}

// Two fixes of one file at once: each answers 0, 1 or 53, one of them
// repairs it, the file ends repaired and every backup is whole.
TEST_F(SharedFolder, TwoFixesAtOnceLeaveTheFileRepaired) {
  const Bytes& input = LargeInput();
  const Bytes repaired = RepairOf(input);
  std::mt19937 random(7);
  for (int round = 0; round < 6; ++round) {
    Reset(input);
    const pid_t first = Start({"-fix", path_}, tmp_);
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
    const pid_t second = Start({"-fix", path_}, tmp_);
    const int a = Finish(first), b = Finish(second);
    for (int code : {a, b}) EXPECT_TRUE(code == 0 || code == 1 || code == 53) << code;
    EXPECT_EQ((a == 1) + (b == 1), 1) << a << " " << b;
    EXPECT_EQ(ReadFileBytes(path_), repaired);
    EXPECT_EQ(ReadFileBytes(path_ + ".bak"), input);
    EXPECT_FALSE(Exists(path_ + ".bak001")) << "only one run gets as far as a backup";
  }
}

// A program that appends to the workbook all through the fix, taking no
// lock: not one of its bytes is lost, and the workbook before them is the
// input (the run noticed and wrote nothing: 56) or the repair (the appends
// all came after it: 1).
TEST_F(SharedFolder, AnAppenderLosesNothing) {
  const Bytes& input = LargeInput();
  const Bytes repaired = RepairOf(input);
  int noticed = 0;
  for (int round = 0; round < 4; ++round) {
    Reset(input);
    int done[2];
    ASSERT_EQ(pipe(done), 0);
    const pid_t appender = fork();
    ASSERT_GE(appender, 0);
    if (appender == 0) {
      close(done[1]);
      fcntl(done[0], F_SETFL, O_NONBLOCK);
      const int fd = open(path_.c_str(), O_WRONLY | O_APPEND);
      char c;
      for (unsigned n = 0;; ++n) {
        const std::string piece = "append " + std::to_string(n) + "\n";
        if (fd < 0 || write(fd, piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) _exit(1);
        if (read(done[0], &c, 1) == 0) _exit(0);  // the run has ended
        usleep(round * 3000);
      }
    }
    close(done[0]);
    const int code = Finish(Start({"-fix", path_}, tmp_));
    close(done[1]);
    int status = 0;
    waitpid(appender, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const Bytes after = ReadFileBytes(path_);
    ASSERT_TRUE(code == 1 || code == 56) << code;
    const Bytes& base = code == 1 ? repaired : input;
    ASSERT_GT(after.size(), base.size());
    EXPECT_TRUE(std::equal(base.begin(), base.end(), after.begin())) << "code " << code;
    // The appended bytes are every piece, in order, none missing.
    const std::string tail(after.begin() + static_cast<long>(base.size()), after.end());
    std::string expected;
    for (unsigned n = 0; expected.size() < tail.size(); ++n) expected += "append " + std::to_string(n) + "\n";
    EXPECT_EQ(tail, expected);
    // The backup is what the file held when it was made: before any append
    // when the run wrote.
    const Bytes backup = ReadFileBytes(path_ + ".bak");
    ASSERT_GE(backup.size(), input.size());
    EXPECT_TRUE(std::equal(input.begin(), input.end(), backup.begin()));
    if (code == 1) {
      EXPECT_EQ(backup.size(), input.size());
    }
    if (code == 56) ++noticed;
  }
  std::cout << "[ appender ] the run noticed the appends in " << noticed << " of 4 runs\n";
}

// Another user swaps the workbook for a link to a root-owned 0600 file, or
// for a FIFO, at the moment its backup appears and at random moments: the
// link's target never changes, the run ends, and the moved workbook holds
// the input or the repair.
TEST_F(SharedFolder, ALinkOrFifoSwappedInNeverLeadsTheWriteElsewhere) {
  const Bytes& input = LargeInput();
  const Bytes repaired = RepairOf(input);
  const std::string victim = dir_.file("secret");
  const Bytes secret = {'r', 'o', 'o', 't', '\n'};
  WriteFileBytes(victim, secret);
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  struct stat before;
  ASSERT_EQ(stat(victim.c_str(), &before), 0);

  std::mt19937 random(11);
  int refused = 0;
  for (int round = 0; round < 12; ++round) {
    Reset(input);
    const bool atBackup = round % 2 == 0;
    const bool fifo = round % 4 >= 2;
    const long delay = static_cast<long>(random() % 400000);  // microseconds
    const pid_t swapper = fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
      if (atBackup) {
        for (long i = 0; i < 20000000 && !Exists(path_ + ".bak"); ++i) {
        }
      } else {
        usleep(static_cast<useconds_t>(delay));
      }
      const bool ok = rename(path_.c_str(), (path_ + ".moved").c_str()) == 0 &&
                      (fifo ? mkfifo(path_.c_str(), 0666) : symlink(victim.c_str(), path_.c_str())) == 0;
      _exit(ok ? 0 : 1);
    }
    const int code = Finish(Start({"-fix", path_}, tmp_));
    int status = 0;
    waitpid(swapper, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_EQ(ReadFileBytes(victim), secret) << "round " << round << ", code " << code;
    struct stat now;
    ASSERT_EQ(stat(victim.c_str(), &now), 0);
    EXPECT_EQ(now.st_mode, before.st_mode);
    EXPECT_EQ(now.st_uid, before.st_uid);
    EXPECT_EQ(now.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(now.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    const Bytes moved = ReadFileBytes(path_ + ".moved");
    EXPECT_TRUE(moved == input || moved == repaired) << "round " << round;
    struct stat named;
    ASSERT_EQ(lstat(path_.c_str(), &named), 0);
    EXPECT_TRUE(fifo ? S_ISFIFO(named.st_mode) : S_ISLNK(named.st_mode));
    // A swap before the open leads the run to the secret or the FIFO, neither
    // a workbook (54); after it, the run wrote the repair (1) or noticed (56).
    EXPECT_TRUE(code == 1 || code == 56 || code == 54) << code;
    if (code == 56) {
      ++refused;
      EXPECT_EQ(moved, input);
    }
    if (Exists(path_ + ".bak")) {
      EXPECT_EQ(ReadFileBytes(path_ + ".bak"), input);
    }
  }
  std::cout << "[ swap     ] the run noticed the swap in " << refused << " of 12 runs\n";
}

}  // namespace
