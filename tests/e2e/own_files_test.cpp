// Bookmender's own files on a machine shared with other users: a scratch
// copy that no other user can name, take, swap or read, whatever they do in
// the temporary folder, and standard descriptors closed by whoever started
// the program. Every run must end with the workbook holding exactly the
// repair and its backup exactly the input.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "charted_workbook.h"
#include "process.h"
#include "workbook_file.h"

using namespace testsupport;

namespace {

constexpr uid_t kNobody = 65534;

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    closedir(d);
  }
  return names;
}

// Runs `body` in a child process as the unprivileged user; returns its pid.
template <typename Body>
pid_t AsNobody(Body body) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
      setresuid(kNobody, kNobody, kNobody) != 0) {
    _exit(126);
  }
  body();
  _exit(0);
}

int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// The kernel refuses unnamed files (O_TMPFILE) to the calling process and
// its children, as a file system without them does.
bool RefuseUnnamedFiles() {
  constexpr unsigned kTmpFile = 020000000;  // __O_TMPFILE
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kTmpFile, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

class OwnFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    recipe_.moved = {6, 18};
    recipe_.fillers = 200000;  // long enough for a watcher to look in between
    damaged_ = BuildChartedWorkbookFile(recipe_, Tagged());
    ChartedWorkbookRecipe sound = recipe_;
    sound.moved = {0, 0};
    repaired_ = BuildChartedWorkbookFile(sound, Tagged());
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);  // the other user reaches the temporary folder
    tmp_ = dir_.file("tmp");
    ASSERT_EQ(mkdir(tmp_.c_str(), 0700), 0);
    path_ = dir_.file("book.xls");
    WriteFileBytes(path_, damaged_);
  }

  static WorkbookFileOptions Tagged() {
    WorkbookFileOptions options;
    options.tagProperty = u"TMTAG";
    return options;
  }

  // Bookmender -fix on the workbook, its standard descriptors as `shell`
  // leaves them, in the temporary folder `tmp_`; its exit code.
  int Fix(const std::string& redirections = "", bool unnamedRefused = false) {
    const pid_t pid = fork();
    if (pid == 0) {
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      if (unnamedRefused && !RefuseUnnamedFiles()) _exit(125);
      setenv("TMPDIR", tmp_.c_str(), 1);
      const std::string script = "exec \"$0\" -fix \"$1\" " + redirections;
      execl("/bin/sh", "sh", "-c", script.c_str(), BOOKMENDER_EXE, path_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return Wait(pid);
  }

  void ExpectRepaired(const std::string& where) {
    EXPECT_EQ(ReadFileBytes(path_), repaired_) << where;
    EXPECT_EQ(ReadFileBytes(path_ + ".bak"), damaged_) << where;
    EXPECT_EQ(Names(dir_.path()), (std::set<std::string>{"book.xls", "book.xls.bak", "tmp"})) << where;
  }

  ChartedWorkbookRecipe recipe_;
  Bytes damaged_, repaired_;
  TempDir dir_;
  std::string tmp_, path_;
};

// Every name of the old scheme taken by another user stops nothing.
TEST_F(OwnFiles, ScratchNamesTakenByAnotherUserStopNoRepair) {
  ASSERT_EQ(chmod(tmp_.c_str(), 01777), 0);
  const std::string folder = tmp_;
  ASSERT_EQ(Wait(AsNobody([&folder]() {
              for (unsigned n = 1; n <= 0xFFFF; ++n) {
                char name[32];
                std::snprintf(name, sizeof name, "/tmr%X.tmp", n);
                const int fd = open((folder + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                if (fd < 0) _exit(1);
                close(fd);
              }
            })),
            0);
  EXPECT_EQ(Fix(), 1);
  ExpectRepaired("every tmr name taken");
  EXPECT_EQ(Names(tmp_).size(), 0xFFFFu) << "the other user's files are left as they were";
}

// In a temporary folder where anybody may rename anybody's entries (no
// sticky bit), another user swaps everything that shows up for a file of
// their own, with and without unnamed files on the file system.
TEST_F(OwnFiles, ASwapperInAnOpenTemporaryFolderReachesNothing) {
  ASSERT_EQ(chmod(tmp_.c_str(), 0777), 0);
  const std::string folder = tmp_;
  const Bytes forged(damaged_.size(), 0xEE);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t swapper = AsNobody([&]() {
    close(ready[0]);
    if (access(folder.c_str(), W_OK | X_OK) != 0 || write(ready[1], "!", 1) != 1) _exit(1);
    close(ready[1]);
    for (;;) {
      for (const std::string& name : Names(folder)) {
        if (name.find(".taken") != std::string::npos || name.find(".forged") != std::string::npos) continue;
        const std::string at = folder + "/" + name;
        if (rename(at.c_str(), (at + ".taken").c_str()) != 0) continue;
        const int fd = open(at.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
          if (write(fd, forged.data(), forged.size()) < 0) _exit(1);
          close(fd);
        }
      }
    }
  });
  struct Stop {
    pid_t pid;
    ~Stop() {
      kill(pid, SIGKILL);
      Wait(pid);
    }
  } stop{swapper};
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the swapper can write to the temporary folder";
  close(ready[0]);
  for (const bool unnamedRefused : {false, true}) {
    const std::string where = unnamedRefused ? "named scratch copy" : "unnamed scratch copy";
    WriteFileBytes(path_, damaged_);
    unlink((path_ + ".bak").c_str());
    EXPECT_EQ(Fix("", unnamedRefused), 1) << where;
    ExpectRepaired(where);
  }
}

// Started with standard input and output, or all three, closed, the run's
// own files could take those numbers: its output would land in them.
TEST_F(OwnFiles, ClosedStandardDescriptorsReceiveNothing) {
  for (const std::string redirections : {"<&- >&-", "<&- >&- 2>&-", ">&- 2>&-"}) {
    WriteFileBytes(path_, damaged_);
    unlink((path_ + ".bak").c_str());
    EXPECT_EQ(Fix(redirections), 1) << redirections;
    ExpectRepaired(redirections);
    EXPECT_TRUE(Names(tmp_).empty()) << redirections;
  }
}

}  // namespace
