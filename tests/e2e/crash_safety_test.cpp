// Bookmender killed with SIGKILL at random moments of its run, in both modes,
// over damaged workbooks of several sizes. After every kill the user's data
// must be whole somewhere: an original that no longer holds the input has a
// complete backup beside it, a backup name never holds a partial copy, and a
// check changes nothing; neither leaves any file in the temporary folder.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "charted_workbook.h"
#include "damage.h"
#include "workbook_file.h"

using namespace testsupport;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    closedir(d);
  }
  return names;
}

void RemoveAll(const std::string& folder) {
  for (const std::string& name : Names(folder)) ASSERT_EQ(unlink((folder + "/" + name).c_str()), 0) << name;
}

// True when `now` holds, byte for byte, either the input's byte or the fix's:
// what a copy back that writes the changed ranges in place may leave when it
// is cut off.
bool BetweenInputAndFix(const Bytes& now, const Bytes& input, const Bytes& fixed) {
  if (now.size() != input.size() || now.size() != fixed.size()) return false;
  for (std::size_t i = 0; i < now.size(); ++i) {
    if (now[i] != input[i] && now[i] != fixed[i]) return false;
  }
  return true;
}

// What one run left behind: the workbook folder and the temporary folder.
struct Aftermath {
  bool killed = false;
  int exitCode = -1;
  std::chrono::nanoseconds duration{};  // from the start of the process to its end
  bool sameFile = false;                // the workbook's name still leads to the file written before
};

class CrashSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = dir_.file("work");
    tmp_ = dir_.file("tmp");
    ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(tmp_.c_str(), 0700), 0);
    original_ = work_ + "/book.xls";
    backup_ = original_ + ".bak";
    tmpEnv_ = "TMPDIR=" + tmp_;
  }

  // Starts Bookmender on a fresh copy of `input`; kills it after `delay`
  // unless it has ended by then (no delay: lets it finish).
  Aftermath RunOnce(const std::string& mode, const Bytes& input,
                    std::optional<std::chrono::nanoseconds> delay, int signal = SIGKILL) {
    RemoveAll(work_);
    RemoveAll(tmp_);
    WriteFileBytes(original_, input);
    struct stat written;
    if (stat(original_.c_str(), &written) != 0) throw std::runtime_error("stat");
    const std::string program = BOOKMENDER_EXE;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      putenv(const_cast<char*>(tmpEnv_.c_str()));
      const rlimit noCore{0, 0};  // SIGQUIT would leave core files
      setrlimit(RLIMIT_CORE, &noCore);
      execl(program.c_str(), program.c_str(), mode.c_str(), original_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (delay) {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*delay);
      timespec pause{static_cast<time_t>(seconds.count()), static_cast<long>((*delay - seconds).count())};
      while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
      }
      kill(pid, signal);  // may come after the end: then the run simply finished
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    Aftermath after;
    after.duration = std::chrono::steady_clock::now() - start;
    after.killed = WIFSIGNALED(status) && WTERMSIG(status) == signal;
    if (WIFEXITED(status)) after.exitCode = WEXITSTATUS(status);
    struct stat now;
    after.sameFile = stat(original_.c_str(), &now) == 0 && now.st_ino == written.st_ino && now.st_dev == written.st_dev;
    return after;
  }

  // The usual length of a whole run: the middle one of three.
  std::chrono::nanoseconds TimeWholeRun(const std::string& mode, const Bytes& input) {
    std::vector<std::chrono::nanoseconds> durations;
    for (int i = 0; i < 3; ++i) {
      const Aftermath after = RunOnce(mode, input, std::nullopt);
      EXPECT_FALSE(after.killed);
      EXPECT_EQ(after.exitCode, 1) << "the workbook should need the repair";
      durations.push_back(after.duration);
    }
    std::sort(durations.begin(), durations.end());
    return durations[1];
  }

  // `runs` kills spread evenly at random over 1.2 times the run's length (a
  // fifth of them land after its end), each followed by the three checks.
  void KillRepeatedly(const std::string& label, const Bytes& input, int runs) {
    const auto fixDuration = TimeWholeRun("-fix", input);
    ASSERT_TRUE(Names(work_).count("book.xls.bak")) << label << ": an unkilled fix made no backup";
    const Bytes fixed = ReadFileBytes(original_);
    ASSERT_NE(fixed, input) << label << ": an unkilled fix changed nothing";
    const auto checkDuration = TimeWholeRun("-check", input);

    const std::uint64_t seed = std::hash<std::string>()(label) ^ static_cast<std::uint64_t>(time(nullptr));
    std::mt19937_64 random(seed);
    for (const std::string mode : {"-fix", "-check"}) {
      const auto span = (mode == "-fix" ? fixDuration : checkDuration) * 6 / 5;
      std::uniform_real_distribution<double> within(0.0, 1.0);
      int killed = 0, untouched = 0, backedUp = 0, partial = 0, replaced = 0;
      for (int i = 0; i < runs; ++i) {
        // Stratified: run i is killed somewhere in the i-th of `runs` slices.
        const auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(span * ((i + within(random)) / runs));
        const Aftermath after = RunOnce(mode, input, delay);
        const std::string where = label + " " + mode + " killed after " +
                                  std::to_string(delay.count() / 1000) + " us of about " +
                                  std::to_string(span.count() * 5 / 6 / 1000) + " us (seed " +
                                  std::to_string(seed) + ")";
        if (after.killed) {
          ++killed;
        } else {
          ASSERT_EQ(after.exitCode, 1) << where << ": the run ended on its own with another result";
        }

        const std::set<std::string> names = Names(work_);
        const Bytes now = ReadFileBytes(original_);
        const bool hasBackup = names.count("book.xls.bak") > 0;
        // (2) The only name a run may add beside the workbook is its backup,
        // and that name only ever holds the whole input.
        for (const std::string& name : names) {
          ASSERT_TRUE(name == "book.xls" || name == "book.xls.bak") << where << ": left " << name;
        }
        if (hasBackup) {
          ASSERT_EQ(ReadFileBytes(backup_), input) << where << ": partial backup";
        }
        // The scratch copy has no name: even a kill leaves nothing in the
        // temporary folder.
        for (const std::string& name : Names(tmp_)) {
          ADD_FAILURE() << where << ": left " << name << " in the temporary folder";
        }

        if (mode == "-check") {
          // (3) A check writes nothing the user owns.
          ASSERT_EQ(now, input) << where << ": the check changed the workbook";
          ASSERT_FALSE(hasBackup) << where << ": the check made a backup";
          ++untouched;
          continue;
        }
        // (1) Once the original differs from the input, the backup holds the
        // input; and the original is the same file, holding in each byte
        // the input or the fix.
        ASSERT_TRUE(after.sameFile) << where << ": the workbook is another file now";
        if (now != input) {
          ASSERT_TRUE(hasBackup) << where << ": the original changed before its backup existed";
          ASSERT_TRUE(BetweenInputAndFix(now, input, fixed)) << where << ": the original holds neither input nor fix";
          if (now == fixed) {
            ++replaced;
          } else {
            ++partial;
          }
        } else if (hasBackup) {
          ++backedUp;
        } else {
          ++untouched;
        }
        if (!after.killed) {
          ASSERT_EQ(now, fixed) << where << ": the finished fix left another result";
        }
      }
      std::cout << "[ crash    ] " << label << " " << mode << ": " << runs << " runs, " << killed
                << " killed; original untouched " << untouched << ", backed up " << backedUp
                << ", partly replaced " << partial << ", replaced " << replaced << "\n";
      EXPECT_GT(killed, 0) << label << " " << mode << ": no run was killed before its end";
    }
  }

  // Termination requests at random moments: the original is never between
  // input and fix.
  void SignalRepeatedly(const std::string& label, const Bytes& input, int runs) {
    const auto fixDuration = TimeWholeRun("-fix", input);
    const Bytes fixed = ReadFileBytes(original_);
    const auto checkDuration = TimeWholeRun("-check", input);
    const std::uint64_t seed = std::hash<std::string>()(label) ^ static_cast<std::uint64_t>(time(nullptr));
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> within(0.0, 1.0);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
      for (const std::string mode : {"-fix", "-check"}) {
        const auto span = (mode == "-fix" ? fixDuration : checkDuration) * 6 / 5;
        int stopped = 0, replaced = 0;
        for (int i = 0; i < runs; ++i) {
          const auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(span * ((i + within(random)) / runs));
          const Aftermath after = RunOnce(mode, input, delay, signal);
          const std::string where = label + " " + mode + " signal " + std::to_string(signal) + " after " +
                                    std::to_string(delay.count() / 1000) + " us (seed " + std::to_string(seed) + ")";
          if (after.killed) {
            ++stopped;
          } else {
            ASSERT_EQ(after.exitCode, 1) << where << ": the run ended with another result";
          }
          ASSERT_TRUE(Names(tmp_).empty()) << where << ": a temporary file stayed";
          ASSERT_TRUE(after.sameFile) << where << ": the workbook is another file now";
          const Bytes now = ReadFileBytes(original_);
          const std::set<std::string> names = Names(work_);
          if (names.count("book.xls.bak")) {
            ASSERT_EQ(ReadFileBytes(backup_), input) << where << ": partial backup";
          }
          if (mode == "-check" || now == input) {
            ASSERT_EQ(now, input) << where << ": the check changed the workbook";
            if (mode == "-check") {
              ASSERT_EQ(names.size(), 1u) << where << ": the check left a file";
            }
            continue;
          }
          ASSERT_EQ(now, fixed) << where << ": the original holds neither input nor fix";
          ASSERT_TRUE(names.count("book.xls.bak")) << where << ": repaired without a backup";
          ++replaced;
        }
        std::cout << "[ signal   ] " << label << " " << mode << " signal " << signal << ": " << runs
                  << " runs, " << stopped << " stopped, " << replaced << " replaced\n";
        EXPECT_GT(stopped, 0) << label << " " << mode << ": no run was stopped before its end";
      }
    }
  }

  TempDir dir_;
  std::string work_, tmp_, original_, backup_, tmpEnv_;
};

TEST_F(CrashSafety, TerminationSignalsOnALargeWorkbook) {
  SignalRepeatedly("large generated workbook", DamagedWorkbookFile(kSanitized ? 60000 : 1300000), 8);
}

TEST_F(CrashSafety, SmallGeneratedWorkbook) {
  KillRepeatedly("small generated workbook", DamagedWorkbookFile(0), 30);
}

// Large enough that the backup, the temporary copy and the copy back each
// take a measurable share of the run, so that kills land inside each of them
// (smaller under the sanitizers, whose indexing is far slower).
TEST_F(CrashSafety, LargeGeneratedWorkbook) {
  KillRepeatedly("large generated workbook", DamagedWorkbookFile(kSanitized ? 60000 : 1300000), 40);
}

TEST_F(CrashSafety, DamagedRealWorkbooks) {
  const std::string corpus = CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "no real workbooks beside the repository (../shared/corpus)";
  for (const char* name : {"44861.xls", "WithThreeCharts.xls"}) {
    const std::string damaged = dir_.file(name);
    WriteFileBytes(damaged, AddUserProperty(ReadFileBytes(corpus + "/" + name), u"TMTAG"));
    ASSERT_GT(DamageSuspiciousSheets(damaged), 0) << name;
    KillRepeatedly(name, ReadFileBytes(damaged), 20);
  }
}

}  // namespace
