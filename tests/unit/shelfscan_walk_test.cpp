// The folder walk when a listing breaks off in the middle: it must report the
// folder, go on with the folder's next sibling and come to an end.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "MainLog.h"
#include "Walk.h"
#include "platform/text.h"
#include "workbook_file.h"

namespace {

constexpr uid_t kNobody = 65534;

bool BecomeNobody() {
  return ::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
         ::setresuid(kNobody, kNobody, kNobody) == 0;
}

// UTF-16LE log bytes back to text (ASCII is all this test needs).
std::string LogText(const testsupport::Bytes& bytes) {
  std::string text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) text.push_back(static_cast<char>(bytes[i]));
  return text;
}

// Linux lists /proc/PID/map_files only to those who may trace PID, and checks
// that at every read of the listing: when PID stops being dumpable while an
// unprivileged walk is inside that folder, its listing breaks off for real.
TEST(ShelfscanWalk, ListingThatBreaksOffIsReportedAndTheWalkGoesOnToTheNextSibling) {
  if (::access("/proc/self/map_files", F_OK) != 0) GTEST_SKIP() << "no /proc/PID/map_files here";
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the walk as another user";
  testsupport::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const std::string log = dir.file("main.log");

  int go[2], done[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(done), 0);
  const pid_t target = ::fork();
  ASSERT_GE(target, 0);
  if (target == 0) {
    ::close(go[1]);  // so that the test's close ends the wait below
    char c = 0;
    if (!BecomeNobody() || ::prctl(PR_SET_DUMPABLE, 1) != 0) ::_exit(1);
    if (::write(done[1], "r", 1) != 1 || ::read(go[0], &c, 1) != 1) ::_exit(1);
    ::prctl(PR_SET_DUMPABLE, 0);
    if (::write(done[1], "d", 1) != 1) ::_exit(1);
    while (::read(go[0], &c, 1) > 0) {
    }
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(done[0], &c, 1), 1);

  const std::string root = "/proc/" + std::to_string(target);
  const pid_t walker = ::fork();
  ASSERT_GE(walker, 0);
  if (walker == 0) {
    ::alarm(60);  // a walk that never ends fails instead of hanging the suite
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);  // the console copies are not looked at here
    if (!BecomeNobody()) ::_exit(10);
    shelfscan::MainLog mainLog;
    mainLog.CurrentLogPath = platform::DecodeNative(log);
    int code = 0;
    try {
      shelfscan::FolderWalk walk(root);
      bool broken = false;
      bool siblingAfter = false;
      for (int steps = 0; !walk.atEnd(); ++steps) {
        if (steps > 100000) ::_exit(11);
        const std::string path = walk.path().string();
        if (walk.depth() == 0) {
          // Only map_files is entered, to keep the walk small.
          if (path != root + "/map_files") walk.noPush();
          if (broken) siblingAfter = true;
        } else if (!broken) {
          char k = 0;
          if (::write(go[1], "g", 1) != 1 || ::read(done[0], &k, 1) != 1) ::_exit(12);
          broken = true;
        }
        shelfscan::AdvanceWalk(walk, mainLog);
      }
      code = !broken ? 13 : !siblingAfter ? 14 : 0;
    } catch (...) {
      code = 15;
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(walker, &status, 0);
  ::close(go[1]);
  ::waitpid(target, nullptr, 0);

  ASSERT_TRUE(WIFEXITED(status)) << "the walk was ended by signal " << WTERMSIG(status);
  ASSERT_EQ(WEXITSTATUS(status), 0) << "10: no user switch, 11: endless walk, 13: map_files never "
                                       "entered, 14: no sibling after it, 15: exception escaped";
  const std::string text = LogText(testsupport::ReadFileBytes(log));
  EXPECT_EQ(text.rfind("[scan err]," + root + "/map_files,", 0), 0u) << text;
  EXPECT_NE(text.find("Permission denied"), std::string::npos) << text;
  EXPECT_EQ(text.find("\r\n"), text.size() - 2) << "exactly one line: " << text;
}

}  // namespace
