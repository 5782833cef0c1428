// The built Shelfscan's logs in shared and hostile folders: what a user puts
// in the log's place, folders the user may not write, a disk that fills, and
// two scans that share a log or its folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "process.h"
#include "samples.h"
#include "scan_console.h"
#include "shelfscan_run.h"
#include "shelfscan_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace shelfscantest;

namespace {

// --- Logs in shared and hostile folders ---

// A file system of `bytes` mounted on `folder` for the test's time (root
// only).
class TinyFileSystem {
 public:
  TinyFileSystem(const std::string& folder, std::size_t bytes) : folder_(folder) {
    ::mkdir(folder.c_str(), 0755);
    mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) == 0;
  }
  ~TinyFileSystem() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  TinyFileSystem(const TinyFileSystem&) = delete;
  TinyFileSystem& operator=(const TinyFileSystem&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

// The path of a console line "[scan err],path,Cannot open the log: reason"
// and its reason; empty when the line is not of that kind.
std::pair<std::string, std::string> UnusableLog(const std::string& line) {
  const std::string prefix = "[scan err],";
  const std::string middle = ",Cannot open the log: ";
  const std::size_t at = line.rfind(middle);
  if (!StartsWith(line, prefix) || at == std::string::npos) return {};
  return {line.substr(prefix.size(), at - prefix.size()), line.substr(at + middle.size())};
}

TEST_F(ShelfscanRun, WhatAUserPutsInTheLogsPlaceIsNeverWrittenAndNoWorkbookIsTouched) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, as a scan over users' folders runs";
  Folder("secret", 0700);
  const std::string target = File("secret/root's file", Text("root's own\n"));
  const std::string root = Folder("r");
  samples::WorkbookKind damaged;
  damaged.moved = {12};
  const Bytes book = samples::MakeWorkbook(damaged);
  const std::string workbook = File("r/damaged.xls", book);

  enum class Plant { kLink, kHardLink, kTheirFile, kFifo };
  struct Case {
    Plant plant;
    bool detailOnly;  // the main log's names are left free
    std::string reason;
  };
  const std::vector<Case> cases = {
      {Plant::kLink, false, "It is a symbolic link."},
      {Plant::kLink, true, "It is a symbolic link."},
      // As a user can where fs.protected_hardlinks is off.
      {Plant::kHardLink, false, "It has more than one name (a hard link)."},
      {Plant::kTheirFile, false, "It belongs to another user."},
      {Plant::kFifo, true, "It is not a regular file."},
  };
  ProcessOptions utc;
  utc.environment.push_back("TZ=UTC");
  for (const Case& c : cases) {
    // World-writable without the sticky bit, where the kernel does not
    // protect a privileged program from other users' links by itself.
    const auto [option, folder] = LogFolder();
    ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    std::vector<std::string> planted;
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now; t <= now + 8; ++t) {
      const std::string main = folder + "/" + LogName(t, 0);
      if (!c.detailOnly) planted.push_back(main);
      planted.push_back(main.substr(0, main.size() - 4) + "_detail.log");
    }
    for (const std::string& name : planted) {
      switch (c.plant) {
        case Plant::kLink: ASSERT_EQ(::symlink(target.c_str(), name.c_str()), 0); break;
        case Plant::kHardLink: ASSERT_EQ(::link(target.c_str(), name.c_str()), 0); break;
        case Plant::kTheirFile: WriteFileBytes(name, Text("theirs\n")); break;
        case Plant::kFifo: ASSERT_EQ(::mkfifo(name.c_str(), 0666), 0); break;
      }
      if (c.plant != Plant::kHardLink) {
        ASSERT_EQ(::lchown(name.c_str(), kNobody, kNobody), 0);
      }
    }

    const ProcessResult r = Scan({"-fix", "-detail", option, root}, utc);
    EXPECT_EQ(r.exitCode, 1) << r.output;
    const std::vector<std::string> lines = Lines(r.output);
    ASSERT_EQ(lines.size(), 1u) << r.output;
    const auto [path, reason] = UnusableLog(lines[0]);
    EXPECT_NE(std::find(planted.begin(), planted.end(), path), planted.end()) << lines[0];
    EXPECT_EQ(reason, c.reason);
    EXPECT_EQ(ReadFileBytes(target), Text("root's own\n"));
    if (c.plant == Plant::kTheirFile) {
      EXPECT_EQ(ReadFileBytes(path), Text("theirs\n"));
    }
    EXPECT_EQ(ReadFileBytes(workbook), book) << "no Bookmender run without a log";
    EXPECT_FALSE(Exists(workbook + ".bak"));
  }
}

TEST_F(ShelfscanRun, LogFolderTheUserMayNotWriteEndsTheRunBeforeAnyFix) {
  const std::string program = Install("real");
  const std::string root = Folder("r", 0777);
  samples::WorkbookKind damaged;
  damaged.moved = {12};
  const Bytes book = samples::MakeWorkbook(damaged);
  const std::string workbook = File("r/damaged.xls", book);
  ASSERT_EQ(::chmod(workbook.c_str(), 0666), 0);
  const std::string closed = Folder("closed", 0755);
  const std::string link = Link("to-closed", closed);

  ProcessOptions options;
  options.uid = kNobody;
  for (const std::string& folder : {closed, link}) {
    const ProcessResult r = Scan({"-fix", "-l:" + folder, root}, options, program);
    EXPECT_EQ(r.exitCode, 1);
    const std::vector<std::string> lines = Lines(r.output);
    ASSERT_EQ(lines.size(), 1u) << r.output;
    if (folder == link) {
      // Refused as a link before any log is tried.
      EXPECT_EQ(lines[0], "[scan err]," + link + "/,The log folder is refused: it is a symbolic link.");
    } else {
      const auto [path, reason] = UnusableLog(lines[0]);
      EXPECT_TRUE(StartsWith(path, folder + "/20")) << lines[0];
      EXPECT_EQ(reason, "Access is denied.");
    }
    EXPECT_EQ(ReadFileBytes(workbook), book) << folder;
    EXPECT_FALSE(Exists(workbook + ".bak"));
    EXPECT_TRUE(Entries(closed).empty());
  }
}

TEST_F(ShelfscanRun, LogThatFillsItsDiskKeepsWholeLinesAndTheScanStopsThere) {
  const std::string program = Install();
  const std::string root = Folder("r");
  // Lines of some 500 bytes: the file system holds about thirty of them.
  const std::string padding(200, 'p');
  for (int i = 0; i < 100; ++i) File("r/" + std::to_string(i) + padding + ".xls");
  const std::string logs = Path("tiny");
  TinyFileSystem tiny(logs, 16384);
  if (!tiny.mounted()) GTEST_SKIP() << "cannot mount a small file system here";

  const ProcessResult r = Scan({"-l:" + logs, root}, {}, program);
  EXPECT_EQ(r.exitCode, 2);
  const std::vector<std::string> log = LogLines(MainLog(logs));  // fails on a torn line
  const std::vector<std::vector<std::string>> calls = Calls(Path("record"));
  ASSERT_GT(log.size(), 10u);
  ASSERT_EQ(calls.size(), log.size() + 1) << "no run after the file whose line was lost";
  for (std::size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i], "[ok]," + calls[i][1]);

  const std::vector<std::string> console = Lines(r.output);
  ASSERT_EQ(console.size(), 1u) << r.output;
  EXPECT_TRUE(StartsWith(console[0], "[scan err]," + logs + "/20")) << console[0];
  EXPECT_TRUE(Contains(console[0], ".log,Cannot write to the log: There is not enough space on the disk. "))
      << console[0];
  const std::string lost = "The scan stops here; this line is not in the log: [ok]," + calls.back()[1];
  EXPECT_EQ(console[0].substr(console[0].size() - lost.size()), lost);
}

TEST_F(ShelfscanRun, LogThatFillsItsDiskDuringTwoJobsKeepsWholeLinesAndNamesTheRunsLeft) {
  const std::string program = Install();
  const std::string root = Folder("r");
  const std::string padding(200, 'p');
  for (int i = 0; i < 100; ++i) File("r/slow-" + std::to_string(i) + padding + ".xls");
  const std::string logs = Path("tiny");
  TinyFileSystem tiny(logs, 16384);
  if (!tiny.mounted()) GTEST_SKIP() << "cannot mount a small file system here";

  const ProcessResult r = Scan({"-jobs:2", "-l:" + logs, root}, {}, program);
  EXPECT_EQ(r.exitCode, 2);
  const std::vector<std::string> log = LogLines(MainLog(logs));  // fails on a torn line
  ASSERT_GT(log.size(), 10u);
  for (const std::string& line : log) EXPECT_TRUE(StartsWith(line, "[ok]," + root + "/slow-")) << line;
  // The lost line, then the file the other run was still on.
  const std::vector<std::string> console = Lines(r.output);
  ASSERT_EQ(console.size(), 2u) << r.output;
  EXPECT_TRUE(Contains(console[0], ".log,Cannot write to the log: There is not enough space on the disk. "))
      << console[0];
  const std::string lost = console[0].substr(console[0].rfind("this line is not in the log: [ok],") + 34);
  EXPECT_TRUE(StartsWith(console[1], "[scan err]," + root + "/slow-")) << console[1];
  const std::string why = ",The scan stopped while Bookmender ran on this file; its line is not in the log";
  ASSERT_GT(console[1].size(), why.size());
  EXPECT_EQ(console[1].substr(console[1].size() - why.size()), why) << console[1];
  const std::string other = console[1].substr(11, console[1].size() - why.size() - 11);
  EXPECT_NE(other, lost);
  for (const std::string& file : {lost, other}) {
    EXPECT_EQ(std::find(log.begin(), log.end(), "[ok]," + file), log.end()) << file;
  }
}

// A run's line lost on another thread while the list is still awaited from
// a writer that keeps it open: the scan ends then, not at the list's end.
TEST_F(ShelfscanRun, ALineLostWhileTheListIsAwaitedEndsTheScanThen) {
  const std::string program = Install();
  Folder("r");
  const std::string padding(200, 'p');
  const std::string logs = Path("tiny");
  TinyFileSystem tiny(logs, 16384);
  if (!tiny.mounted()) GTEST_SKIP() << "cannot mount a small file system here";
  const std::string list = Path("list");
  ASSERT_EQ(::mkfifo(list.c_str(), 0600), 0);
  const int writer = ::open(list.c_str(), O_RDWR | O_CLOEXEC);  // a writer that never goes
  ASSERT_GE(writer, 0);
  std::atomic<bool> ended{false};
  std::atomic<bool> waitedForTheEnd{false};
  // Lines in the main log so far (UTF-16LE line feeds).
  const auto linesLogged = [&logs] {
    std::size_t lines = 0;
    for (const std::string& name : Entries(logs)) {
      if (name.size() < 4 || name.compare(name.size() - 4, 4, ".log") != 0 || Contains(name, "_detail")) continue;
      const Bytes bytes = ReadFileBytes(logs + "/" + name);
      for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) lines += bytes[i] == '\n' && bytes[i + 1] == 0;
    }
    return lines;
  };
  std::thread feeder([&] {
    // One entry at a time, each once the one before is logged; the first
    // whose line does not come is the last: the walk then waits for more.
    for (std::size_t fed = 0; fed < 200 && !ended;) {
      const std::string entry = File("r/" + std::to_string(fed) + padding + ".xls") + "\n";
      if (::write(writer, entry.data(), entry.size()) != static_cast<ssize_t>(entry.size())) break;
      ++fed;
      for (int i = 0; i < 40 && !ended && linesLogged() < fed; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
      }
      if (linesLogged() < fed) break;
    }
    for (int i = 0; i < 300 && !ended; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    waitedForTheEnd = !ended;
    ::close(writer);
  });
  const ProcessResult r = Scan({"-jobs:2", "-files:" + list, "-l:" + logs}, {}, program);
  ended = true;
  feeder.join();
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_FALSE(waitedForTheEnd) << "the scan went on waiting for the list after its line was lost";
  EXPECT_TRUE(Contains(r.output, ".log,Cannot write to the log: There is not enough space on the disk. ")) << r.output;
}

TEST_F(ShelfscanRun, TwoScansOfTheSameSecondShareOneLogAndKeepEveryLine) {
  const std::string program = Install();
  std::vector<std::string> roots, expected;
  for (const std::string name : {"r1", "r2"}) {
    roots.push_back(Folder(name));
    for (int i = 0; i < 300; ++i) expected.push_back("[ok]," + File(name + "/" + std::to_string(i) + ".xls"));
  }
  int shared = 0;
  std::size_t kept = 0;
  // A round whose two scans straddle a second writes two logs and does not
  // count; on a busy machine that may happen now and then.
  for (int round = 0; round < 10 && shared < 3; ++round) {
    const auto [option, folder] = LogFolder();
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    // Started together just after a second begins, so that both take its
    // name.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    ::usleep(static_cast<useconds_t>((1000000000L - now.tv_nsec) / 1000 + 20000));
    ProcessResult second;
    std::thread other([&] { second = Scan({option, roots[1]}, {}, program); });
    const ProcessResult first = Scan({option, roots[0]}, {}, program);
    other.join();
    EXPECT_EQ(first.exitCode, 0) << first.output;
    EXPECT_EQ(second.exitCode, 0) << second.output;

    const std::vector<std::string> logs = Entries(folder);
    std::vector<std::string> lines;
    for (const std::string& name : logs) {
      const Bytes bytes = ReadFileBytes(folder + "/" + name);
      const std::vector<std::string> some = LogLines(std::string(bytes.begin(), bytes.end()));
      lines.insert(lines.end(), some.begin(), some.end());
    }
    EXPECT_EQ(Sorted(lines), Sorted(expected)) << "round " << round;
    if (logs.size() == 1) {
      ++shared;
      kept += lines.size();
    }
  }
  EXPECT_EQ(shared, 3) << "fewer than three rounds whose scans started in the same second";
  EXPECT_EQ(kept, 1800u);
}

TEST_F(ShelfscanRun, TwoScansThatBothFindTheLogFolderMissingBothRun) {
  const std::string program = Install();
  const std::string folder = Path("new-logs");
  ProcessOptions slow;
  slow.environment = {std::string("LD_PRELOAD=") + SLOW_MKDIR_LIB, "BM_MKDIR_DELAY_MS=300"};
  // A sanitized build is told not to mind the library loaded before it.
  const char* asan = std::getenv("ASAN_OPTIONS");
  slow.environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                             "verify_asan_link_order=0");
  ProcessResult results[2];
  std::thread other([&] { results[1] = Scan({"-l:" + folder, "missing"}, slow, program); });
  results[0] = Scan({"-l:" + folder, "missing"}, slow, program);
  other.join();
  const std::string line = "[scan err],missing," + kNotFound;
  for (const ProcessResult& r : results) {
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(ScanConsoleIs(r.output, line + "\n", {}));
  }
  // Both logged their line, in one log or, a second apart, in two.
  std::vector<std::string> lines;
  for (const std::string& name : Entries(folder)) {
    const Bytes bytes = ReadFileBytes(folder + "/" + name);
    const std::vector<std::string> some = LogLines(std::string(bytes.begin(), bytes.end()));
    lines.insert(lines.end(), some.begin(), some.end());
  }
  EXPECT_EQ(lines, (std::vector<std::string>{line, line}));
}

}  // namespace
