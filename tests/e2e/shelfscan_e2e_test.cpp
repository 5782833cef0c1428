// The built Shelfscan, run as a user runs it over folder trees made here: the
// main log byte for byte, the detail log, the console and the exit code. Most
// cases put a stand-in Bookmender script beside a copy of Shelfscan, which
// records its arguments and ends as the file's name asks; the rest run the
// real Bookmender.
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "damage.h"
#include "process.h"
#include "samples.h"
#include "scan_console.h"
#include "shelfscan_run.h"
#include "shelfscan_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace shelfscantest;

namespace {

constexpr int kNobody = 65534;
const std::string kFffd = "\xEF\xBF\xBD";  // U+FFFD
const std::string kNotFound = "The path doesn't exist!";

const char kHelp[] =
    "This tool attempts to fix binary Excel (XLS) files optimized using Trimora  \n"
    "5.1.3 or earlier where any images were cropped (excluding a right or bottom\n"
    "crop) and embedded charts existed on the same worksheet.\n"
    "\n"
    "The tool will recursively search the folders specified to look for XLS files to\n"
    "repair. It produces a log of the XLS files it encounters and for each, lists its\n"
    "status. By default, the log is created at ~/Halvane/<timestamp>.log.\n"
    "However, the location of the log can be changed with the -l option (see below).\n"
    "\n"
    "For debugging purposes, the -detail option creates a detailed log file in the\n"
    "same directory as the main log file, containing more information about the\n"
    "repair process for each file.\n"
    "\n"
    "When an XLS file is repaired, a backup copy is created. The backup filename is\n"
    "the same as the original, but with \".bak\" appended to it. If a file with that\n"
    "name already exists, the backup will be named \".bak001\", \".bak002\", etc.\n"
    "\n"
    "After the options, the remaining arguments specified are assumed to be\n"
    "directories to be searched.\n"
    "\n"
    "Usage:\n"
    "  Shelfscan [-check|-fix] [-l:LogFolderName] [-detail] path1 [path2...]\n"
    "\n"
    "Options:\n"
    "  -check           : Check for XLS files that can be repaired (default).\n"
    "  -fix             : Repair XLS files where possible, creating backup copies.\n"
    "  -l:LogFolderName : Create log file in LogFolderName (default ~/Halvane).\n"
    "  -detail          : Also create detailed log file.\n"
    "  -files:LIST      : Check the files named in LIST, one per line, whatever\n"
    "                     their extension (\"-\": standard input).\n"
    "  -files0:LIST     : The same, the names ended by NUL (as find -print0 writes).\n"
    "  -exclude:PATTERN : Neither check nor search files and folders whose name\n"
    "                     matches PATTERN (*, ?, [...]; any letter case). Repeatable.\n"
    "  -anycase         : Select \".xls\" in any letter case (\".XLS\", \".Xls\").\n"
    "  -jobs:N          : Run up to N Bookmender runs at once (default 1; 0: one\n"
    "                     per processor).\n"
    "  -report:File     : Also write a report of each file checked to File, as\n"
    "                     JSON Lines.\n"
    "  -timeout:Seconds : End a Bookmender run that takes longer (default: no\n"
    "                     limit); its file is logged as [timed out].\n"
    "\n"
    "Invalid parameters. Please provide at least one path to search.\n";

// --- Command line and log folder ---

TEST_F(ShelfscanRun, WithoutSearchPathPrintsHelpAndFails) {
  const auto [option, folder] = LogFolder();
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{}, std::vector<std::string>{"-fix", "-detail", option}}) {
    const ProcessResult r = Scan(arguments);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, kHelp);
  }
  EXPECT_FALSE(Exists(folder)) << "no log folder without a search path";
}

TEST_F(ShelfscanRun, OptionsAreExactCaseSensitiveAndTheLaterOneWins) {
  const std::string program = Install();
  Folder("r");
  File("r/code-1.xls");
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> log;
  };
  const std::string file = "r/code-1.xls";
  const std::vector<Case> cases = {
      {{"-FIX", "-check:", "r"},
       {"[scan err],-FIX," + kNotFound, "[scan err],-check:," + kNotFound, "[fixable]," + file}},
      {{"r", "-fix"}, {"[fixed]," + file}},
      {{"-fix", "-check", "r"}, {"[fixable]," + file}},
      {{"-detail", "/fix", "r/"}, {"[scan err],/fix," + kNotFound, "[fixable]," + file}},
  };
  for (const Case& c : cases) {
    const auto [option, folder] = LogFolder();
    std::vector<std::string> arguments = c.arguments;
    arguments.push_back(option);
    ProcessOptions options;
    options.workingDirectory = dir_.path();
    const ProcessResult r = Scan(arguments, options, program);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(MainLog(folder), LogBytes(c.log)) << c.arguments[0];
  }
  // What the stand-in was given: the switch, then the path as the walk made it.
  const std::vector<std::vector<std::string>> expected = {
      {"-check", file}, {"-fix", file}, {"-check", file}, {"-check", file}};
  EXPECT_EQ(Calls(Path("record")), expected);
}

TEST_F(ShelfscanRun, LogFolderIsMadeOneLevelDeepAndTheLogAtTheStart) {
  Folder("empty");
  Folder("cwd");
  ProcessOptions inCwd;
  inCwd.workingDirectory = Path("cwd");
  struct Case {
    std::vector<std::string> arguments;
    std::string logFolder;
  };
  const std::vector<Case> cases = {
      {{"-l:" + Path("a"), "missing"}, Path("a")},
      {{"-l:" + Path("b") + "/", "missing"}, Path("b")},
      {{"-l:" + Path("unused"), "missing", "-l:" + Path("c")}, Path("c")},
      {{"-l:rel", "missing"}, Path("cwd/rel")},
  };
  for (const Case& c : cases) {
    const ProcessResult r = Scan(c.arguments, inCwd);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(ScanConsoleIs(r.output, "[scan err],missing," + kNotFound + "\n", {}));
    EXPECT_EQ(MainLog(c.logFolder), LogBytes({"[scan err],missing," + kNotFound}));
  }
  EXPECT_FALSE(Exists(Path("unused")));

  // Nothing to log: the log is made at the start all the same, holding its
  // byte-order mark only.
  const ProcessResult r = Scan({"-l:" + Path("quiet"), Path("empty")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {}));
  EXPECT_EQ(MainLog(Path("quiet")), LogBytes({}));
}

TEST_F(ShelfscanRun, LogFolderThatCannotBeMadeEndsTheRunWithTwoLines) {
  const std::string program = Install();
  Folder("r");
  File("r/a.xls");
  File("in-the-way");
  Folder("readonly", 0755);
  struct Case {
    std::string option;
    std::string folder;  // as reported
    std::string reason;
    int uid;
  };
  const std::vector<Case> cases = {
      {"-l:" + Path("missing/logs"), Path("missing/logs/"), "No such file or directory", -1},
      {"-l:" + Path("missing/logs/"), Path("missing/logs/"), "No such file or directory", -1},
      {"-l:" + Path("in-the-way"), Path("in-the-way/"), "File exists", -1},
      {"-l:" + Path("readonly/logs"), Path("readonly/logs/"), "Permission denied", kNobody},
  };
  for (const Case& c : cases) {
    ProcessOptions options;
    options.uid = c.uid;
    const ProcessResult r = Scan({c.option, Path("r")}, options, program);
    EXPECT_EQ(r.exitCode, 1);
    const std::vector<std::string> lines = Lines(r.output);
    ASSERT_EQ(lines.size(), 2u) << r.output;
    EXPECT_TRUE(StartsWith(lines[0], "[scan err]," + c.folder + ",")) << lines[0];
    EXPECT_TRUE(Contains(lines[0], c.reason)) << lines[0];
    EXPECT_EQ(lines[1], "Could not create log folder at path:" + c.folder);
  }
  EXPECT_FALSE(Exists(Path("missing")));
  EXPECT_FALSE(Exists(Path("readonly/logs")));
  EXPECT_TRUE(Calls(Path("record")).empty()) << "no search without a log folder";

  // The default folder is in the home folder of the password database, which
  // a HOME of the environment does not change.
  const passwd* nobody = ::getpwuid(kNobody);
  ASSERT_NE(nobody, nullptr);
  const std::string home = nobody->pw_dir;
  if (Exists(home)) GTEST_SKIP() << "the home folder of user " << kNobody << " exists here";
  ProcessOptions options;
  options.uid = kNobody;
  options.environment.push_back("HOME=" + dir_.path());
  for (const char* option : {"-l:", ""}) {
    std::vector<std::string> arguments{Path("r")};
    if (*option) arguments.push_back(option);
    const ProcessResult r = Scan(arguments, options, program);
    EXPECT_EQ(r.exitCode, 1);
    const std::vector<std::string> lines = Lines(r.output);
    ASSERT_EQ(lines.size(), 2u) << r.output;
    EXPECT_TRUE(StartsWith(lines[0], "[scan err]," + home + "/Halvane/,")) << lines[0];
    EXPECT_EQ(lines[1], "Could not create log folder at path:" + home + "/Halvane/");
  }
  EXPECT_FALSE(Exists(Path("Halvane")));
}

TEST_F(ShelfscanRun, LogIsNamedAfterTheLocalTimeAtStart) {
  // Fourteen hours ahead of UTC, so that a name from UTC or from another zone
  // cannot pass.
  ProcessOptions options;
  options.environment.push_back("TZ=UTC-14");
  const auto [option, folder] = LogFolder();
  const std::time_t before = std::time(nullptr);
  const ProcessResult r = Scan({option, "missing"}, options);
  const std::time_t after = std::time(nullptr);
  ASSERT_EQ(r.exitCode, 0);

  std::vector<std::string> names;
  for (std::time_t t = before; t <= after; ++t) names.push_back(LogName(t, 14));
  const std::vector<std::string> found = Entries(folder);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(std::find(names.begin(), names.end(), found[0]), names.end()) << found[0];
}

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

// --- The walk ---

TEST_F(ShelfscanRun, SelectsExactlyTheXlsFilesInWalkOrder) {
  const std::string program = Install();
  const std::string root = Folder("r");
  for (const char* name : {"book.xls", "BOOK2.XLS", "c.xlsx", "d.xls.bak", "e.Xls", ".xls", "f.xlsm", "xls"}) {
    File(std::string("r/") + name);
  }
  Folder("r/x.xls");  // a folder is entered, never handed over
  File("r/x.xls/inner.xls");
  Folder("r/sub");
  Folder("r/sub/deeper");
  File("r/sub/deeper/g.xls");
  Link("r/l.xls", "book.xls");            // a link to a file is skipped
  Link("r/dangling.xls", "nothing here");  // so is a link to nothing
  const std::vector<std::string> selected = {"book.xls", ".xls", "x.xls/inner.xls", "sub/deeper/g.xls"};
  const std::vector<std::string> links = {"l.xls", "dangling.xls"};
  std::vector<std::string> paths;
  for (const std::string& name : selected) paths.push_back(root + "/" + name);
  for (const std::string& name : links) paths.push_back(root + "/" + name);
  paths = InWalkOrder(root, paths);

  // The same root twice, the second time with a trailing slash: one slash
  // between root and name either way, every file met twice.
  const auto [option, folder] = LogFolder();
  const ProcessResult r = Scan({root, option, root + "/"}, {}, program);
  EXPECT_EQ(r.exitCode, 0);
  std::vector<std::string> log, warnings;
  std::vector<std::vector<std::string>> calls;
  for (const std::string& path : paths) {
    const bool link = std::find(links.begin(), links.end(), path.substr(root.size() + 1)) != links.end();
    if (link) {
      warnings.push_back("[warning]," + path + ",Skipped symbolic link");
      log.push_back(warnings.back());
    } else {
      log.push_back("[ok]," + path);
      calls.push_back({"-check", path});
    }
  }
  EXPECT_EQ(MainLog(folder), LogBytes(Twice(log)));
  // Result lines go to the log only; the summary counts both passes, and the
  // two names of another letter case twice.
  EXPECT_TRUE(ScanConsoleIs(r.output, ConsoleText(Twice(warnings)), {{"[ok]", 2 * selected.size()}}, 4));
  EXPECT_EQ(Calls(Path("record")), Twice(calls));
}

TEST_F(ShelfscanRun, EveryRootIsSearchedAfterMissingRootsAndRootsThatAreFiles) {
  const std::string program = Install();
  Folder("r");
  File("r/a.xls");
  Folder("target");
  File("target/t.xls");
  Link("linked", Path("target"));  // a root that is a link is searched
  const auto [option, folder] = LogFolder();
  const ProcessResult r = Scan(
      {option, Path("missing"), Path("linked"), Path("r/a.xls"), Path("r"), Path("r/a.xls/x"), Path("target")}, {},
      program);
  EXPECT_EQ(r.exitCode, 0);
  const std::vector<std::string> log = LogLines(MainLog(folder));
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0], "[scan err]," + Path("missing") + "," + kNotFound);
  EXPECT_EQ(log[1], "[ok]," + Path("linked/t.xls"));
  // A file is no folder to search: its own scan error, and on to the next.
  EXPECT_TRUE(StartsWith(log[2], "[scan err]," + Path("r/a.xls") + ",")) << log[2];
  EXPECT_TRUE(Contains(log[2], "Not a directory")) << log[2];
  EXPECT_EQ(log[3], "[ok]," + Path("r/a.xls"));
  EXPECT_TRUE(StartsWith(log[4], "[scan err]," + Path("r/a.xls/x") + ",")) << log[4];
  EXPECT_EQ(log[5], "[ok]," + Path("target/t.xls"));
  EXPECT_EQ(Calls(Path("record")).size(), 3u);
  EXPECT_TRUE(ScanConsoleIs(r.output, ConsoleText({log[0], log[2], log[4]}), {{"[ok]", 3}}))
      << "a search path that cannot be searched is no file checked";
}

TEST_F(ShelfscanRun, LinksLoopsAndUnreadableFoldersAreReportedAndTheRestIsSearched) {
  // As an unprivileged user, so that a folder can be closed to the scan.
  const std::string program = Install();
  const std::string root = Folder("r");
  const std::string logs = NobodysFolder("logs");
  File("r/a.xls");
  Folder("r/sub");
  File("r/sub/s.xls");
  Link("r/tosub", "sub");
  Link("r/up", "..");
  Link("r/loop1.xls", "loop2.xls");
  Link("r/loop2.xls", "loop1.xls");
  Folder("r/closed", 0700);
  File("r/closed/hidden.xls");
  Folder("r/open");
  File("r/open/o.xls");

  const std::string shutRoot = Folder("shut", 0711);
  File("shut/s.xls");

  ProcessOptions options;
  options.uid = kNobody;
  // A root that cannot even be looked at, or not listed, is reported and the
  // next searched.
  const std::string hiddenRoot = Path("r/closed/inner");
  const ProcessResult r = Scan({"-l:" + logs, hiddenRoot, shutRoot, root}, options, program);
  EXPECT_EQ(r.exitCode, 0);
  const std::vector<std::string> log = LogLines(MainLog(logs));

  std::vector<std::string> results, reports;
  for (const std::string& line : log) (StartsWith(line, "[ok],") ? results : reports).push_back(line);
  EXPECT_EQ(Sorted(results), Sorted(Prefixed("[ok],", {root + "/a.xls", root + "/sub/s.xls", root + "/open/o.xls"})));
  EXPECT_TRUE(ScanConsoleIs(r.output, ConsoleText(reports), {{"[ok]", 3}}))
      << "warnings and scan errors, on the console in log order";

  std::map<std::string, std::string> byPath;  // report line by its path
  for (const std::string& line : reports) {
    const std::size_t first = line.find(',');
    const std::size_t second = line.find(',', first + 1);
    byPath[line.substr(0, first + 1) + line.substr(first + 1, second - first - 1)] = line.substr(second + 1);
  }
  EXPECT_EQ(byPath.size(), 7u) << "one line each";
  EXPECT_TRUE(Contains(byPath["[scan err]," + hiddenRoot], "Permission denied"));
  EXPECT_TRUE(Contains(byPath["[scan err]," + shutRoot], "Permission denied"));
  EXPECT_EQ(byPath["[warning]," + root + "/tosub"], "Skipped symbolic link");
  EXPECT_EQ(byPath["[warning]," + root + "/up"], "Skipped symbolic link");
  EXPECT_TRUE(Contains(byPath["[scan err]," + root + "/loop1.xls"], "Too many levels of symbolic links"));
  EXPECT_TRUE(Contains(byPath["[scan err]," + root + "/loop2.xls"], "Too many levels of symbolic links"));
  EXPECT_TRUE(Contains(byPath["[scan err]," + root + "/closed"], "Permission denied"));
}

TEST_F(ShelfscanRun, LinksToWorkbooksOutsideTheTreeAreNeitherFixedNorBackedUpInIt) {
  // Another user's damaged workbook outside the tree, and links to it and to
  // its folder inside the tree of a user who would have it repaired.
  samples::WorkbookKind damaged;
  damaged.moved = {12};
  const Bytes bytes = samples::MakeWorkbook(damaged);
  Folder("outside");
  const std::string target = File("outside/theirs.xls", bytes);
  const std::string root = Folder("tree");
  File("tree/mine.xls", bytes);
  Link("tree/link.xls", target);
  Link("tree/relative.xls", "../outside/theirs.xls");
  Link("tree/folder", Path("outside"));

  const std::vector<std::string> skipped = {root + "/folder", root + "/link.xls", root + "/relative.xls"};
  for (const char* mode : {"-check", "-fix"}) {
    const auto [option, folder] = LogFolder();
    const ProcessResult r = Scan({mode, option, root});
    EXPECT_EQ(r.exitCode, 0);
    std::vector<std::string> warnings;
    for (const std::string& path : skipped) warnings.push_back("[warning]," + path + ",Skipped symbolic link");
    EXPECT_EQ(Sorted(Lines(SplitAtSummary(r.output).before)), warnings) << mode;
    EXPECT_TRUE(EndsInSummary(r.output, {{std::string(mode) == "-fix" ? "[fixed]" : "[fixable]", 1}})) << mode;
    std::vector<std::string> log = warnings;
    log.push_back((std::string(mode) == "-fix" ? "[fixed]," : "[fixable],") + root + "/mine.xls");
    EXPECT_EQ(Sorted(LogLines(MainLog(folder))), Sorted(log)) << mode;
    EXPECT_EQ(ReadFileBytes(target), bytes) << "the workbook behind the links is left alone";
  }
  EXPECT_EQ(Sorted(Entries(root)),
            Sorted({"mine.xls", "mine.xls.bak", "link.xls", "relative.xls", "folder"}))
      << "no backup of the linked workbook in the tree";
  EXPECT_EQ(Entries(Path("outside")), std::vector<std::string>{"theirs.xls"});
}

TEST_F(ShelfscanRun, FoldersRemovedDuringTheWalkAreHandledAsTheyAreMet) {
  // Two folders named like workbooks; the first file handed over removes
  // both before Bookmender looks at it. What the first folder's listing still
  // holds is handed over and not found; the second folder, gone before its
  // turn, is no folder any more and is handed over by its name.
  const std::string program = Install(kRemover);
  const std::string root = Folder("r");
  Folder("r/p.xls");
  Folder("r/q.xls");
  File("r/p.xls/a.xls", Text("text"));
  File("r/p.xls/b.xls", Text("text"));
  File("r/q.xls/c.xls", Text("text"));
  const std::vector<std::string> folders = InWalkOrder(root, {root + "/p.xls", root + "/q.xls"});
  const std::vector<std::string> first = InWalkOrder(root, {folders[0] + "/" + Entries(folders[0])[0],
                                                            folders[0] + "/" + Entries(folders[0])[1]});

  const auto [option, folder] = LogFolder();
  ProcessOptions options;
  options.environment.push_back("REMOVE=" + folders[0] + " " + folders[1]);
  options.environment.push_back("MARK=" + Path("mark"));
  options.environment.push_back(std::string("REAL=") + BOOKMENDER_EXE);
  const ProcessResult r = Scan({option, root}, options, program);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[file not found]", 3}}));
  EXPECT_EQ(MainLog(folder), LogBytes({"[file not found]," + first[0], "[file not found]," + first[1],
                                       "[file not found]," + folders[1]}));
  EXPECT_FALSE(Exists(folders[0]));
  EXPECT_FALSE(Exists(folders[1]));
}

// --- The child run ---

TEST_F(ShelfscanRun, ExitCodesBecomeLabelsByMode) {
  const std::string program = Install();
  const std::string root = Folder("r");
  const std::map<int, std::string> labels = {
      {0, "[ok],"},
      {2, "[broken],"},
      {3, "[container problem],"},
      {4, "[password],"},
      {5, "[unexpected],"},
      {49, "[unexpected],"},
      {50, "[bad arguments],"},
      {51, "[file not found],"},
      {52, "[access denied],"},
      {53, "[sharing violation],"},
      {54, "[not BIFF8 workbook],"},
      {55, "[temp copy failed],"},
      {56, "[copy back failed],"},
      {57, "[backup failed],"},
      {58, "[unexpected],"},
      {255, "[unexpected],"},
  };
  std::vector<std::string> expected;
  for (const auto& [code, label] : labels) {
    File("r/code-" + std::to_string(code) + ".xls");
    expected.push_back(label + root + "/code-" + std::to_string(code) + ".xls");
  }
  File("r/code-1.xls");
  File("r/kill-9.xls");
  const std::string killed = "[scan err]," + root + "/kill-9.xls,Failed to launch Bookmender (error code -9)";
  expected.push_back(killed);

  for (const bool fix : {false, true}) {
    const auto [option, folder] = LogFolder();
    const ProcessResult r = Scan({fix ? "-fix" : "-check", option, root}, {}, program);
    EXPECT_EQ(r.exitCode, 0);
    // Every label once in the summary's order, the four codes without one as
    // [unexpected], the run a signal ended last.
    EXPECT_TRUE(ScanConsoleIs(r.output, killed + "\n",
                              {{"[ok]", 1}, {fix ? "[fixed]" : "[fixable]", 1}, {"[broken]", 1},
                               {"[container problem]", 1}, {"[password]", 1}, {"[bad arguments]", 1},
                               {"[file not found]", 1}, {"[access denied]", 1}, {"[sharing violation]", 1},
                               {"[not BIFF8 workbook]", 1}, {"[temp copy failed]", 1}, {"[copy back failed]", 1},
                               {"[backup failed]", 1}, {"[unexpected]", 4}, {"[scan err]", 1}}));
    std::vector<std::string> lines = expected;
    lines.push_back((fix ? "[fixed]," : "[fixable],") + root + "/code-1.xls");
    EXPECT_EQ(Sorted(LogLines(MainLog(folder))), Sorted(lines));
  }
}

TEST_F(ShelfscanRun, WithoutABookmenderItCanStartNothingIsScanned) {
  const std::string root = Folder("r");
  File("r/a.xls");
  const auto bookmenderOf = [](const std::string& program) {
    return program.substr(0, program.size() - 9) + "Bookmender";
  };
  const std::string missing = Install("");
  const std::string notExecutable = Install();
  ASSERT_EQ(::chmod(bookmenderOf(notExecutable).c_str(), 0644), 0);
  const std::string aFolder = Install("");
  ASSERT_EQ(::mkdir(bookmenderOf(aFolder).c_str(), 0755), 0);
  const std::string rootOnly = Install();  // executable by its owner, root, alone
  ASSERT_EQ(::chmod(bookmenderOf(rootOnly).c_str(), 0744), 0);
  struct Case {
    std::string program;
    int uid;
    std::string reason;
  };
  for (const Case& c : std::vector<Case>{{missing, -1, "The system cannot find the file specified."},
                                         {notExecutable, -1, "Access is denied."},
                                         {aFolder, -1, "Access is denied."},
                                         {rootOnly, kNobody, "Access is denied."}}) {
    const auto [option, folder] = LogFolder();
    ProcessOptions options;
    options.uid = c.uid;
    const ProcessResult r = Scan({option, root}, options, c.program);
    EXPECT_EQ(r.exitCode, 1) << c.program;
    EXPECT_EQ(r.output, "Bookmender cannot be started from " + bookmenderOf(c.program) + ": " + c.reason + "\n");
    EXPECT_FALSE(Exists(folder)) << "nothing is made";
  }
  // Root may run what its owner alone may.
  const auto [option, folder] = LogFolder();
  EXPECT_EQ(Scan({option, root}, {}, rootOnly).exitCode, 0);
  EXPECT_EQ(Calls(Path("record")).size(), 1u) << "only the last run scanned";
}

// A chain of folders below `parent` whose path is longer than the system
// resolves by name, reached one descriptor at a time; removed with its files.
class DeepFolder {
 public:
  explicit DeepFolder(const std::string& parent) {
    levels_.push_back(::open(parent.c_str(), O_RDONLY | O_DIRECTORY));
    for (int depth = 0; depth < 20 && levels_.back() >= 0; ++depth) {
      if (::mkdirat(levels_.back(), kName.c_str(), 0755) != 0) break;
      levels_.push_back(::openat(levels_.back(), kName.c_str(), O_RDONLY | O_DIRECTORY));
    }
  }
  ~DeepFolder() {
    for (const std::string& file : files_) ::unlinkat(fd(), file.c_str(), 0);
    for (std::size_t i = levels_.size() - 1; i > 0; --i) {
      ::close(levels_[i]);
      ::unlinkat(levels_[i - 1], kName.c_str(), AT_REMOVEDIR);
    }
    ::close(levels_[0]);
  }
  DeepFolder(const DeepFolder&) = delete;
  DeepFolder& operator=(const DeepFolder&) = delete;
  bool made() const { return levels_.size() == 21 && levels_.back() >= 0; }
  int fd() const { return levels_.back(); }
  bool put(const std::string& name, const Bytes& bytes) {
    const int file = ::openat(fd(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0755);
    if (file < 0) return false;
    files_.push_back(name);
    const bool written = ::write(file, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return ::close(file) == 0 && written;
  }

 private:
  const std::string kName = std::string(250, 'd');
  std::vector<int> levels_;
  std::vector<std::string> files_;
};

TEST_F(ShelfscanRun, AnUnknownOwnFolderStartsNoBookmenderAtAll) {
  // Shelfscan in a folder whose path is longer than the kernel gives back
  // for /proc/self/exe cannot tell its own folder, and must not guess.
  DeepFolder deep(dir_.path());
  ASSERT_TRUE(deep.made());
  ASSERT_TRUE(deep.put("Shelfscan", ReadFileBytes(SHELFSCAN_EXE)));
  ASSERT_TRUE(deep.put("Bookmender", Text(kStandIn)));
  const int fd = deep.fd();

  const std::string root = Folder("r");
  File("r/a.xls");
  const auto [option, folder] = LogFolder();
  int console[2], errors[2];
  ASSERT_EQ(::pipe(console), 0);
  ASSERT_EQ(::pipe(errors), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(console[1], STDOUT_FILENO);
    ::dup2(errors[1], STDERR_FILENO);
    const std::string record = "RECORD=" + Path("record");
    ::putenv(const_cast<char*>(record.c_str()));
    if (::fchdir(fd) != 0) ::_exit(126);
    ::execl("./Shelfscan", "./Shelfscan", option.c_str(), root.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(console[1]);
  ::close(errors[1]);
  const auto drain = [](int from) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(from, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(from);
    return text;
  };
  const std::string output = drain(console[0]);
  // A sanitizer's runtime warns there that it cannot name the program
  // either; nothing else may come.
  for (const std::string& line : Lines(drain(errors[0]))) EXPECT_EQ(line.rfind("==", 0), 0u) << line;
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(output, "Bookmender cannot be started: the folder of Shelfscan's own program file cannot be read.\n");
  EXPECT_FALSE(Exists(folder));
  EXPECT_TRUE(Calls(Path("record")).empty());
}

TEST_F(ShelfscanRun, BookmenderThatCannotBeStartedFailsEveryFileWithMinusOne) {
  // It passes the check at start-up, but its interpreter is missing.
  const std::string program = Install("#!/no/such/interpreter\n");
  const std::string root = Folder("r");
  File("r/a.xls");
  File("r/b.xls");
  const auto [option, folder] = LogFolder();
  const ProcessResult r = Scan({option, root}, {}, program);
  EXPECT_EQ(r.exitCode, 0);
  const std::vector<std::string> lines = Prefixed("[scan err],", {root + "/a.xls", root + "/b.xls"});
  std::vector<std::string> expected;
  for (const std::string& line : lines) expected.push_back(line + ",Failed to launch Bookmender (error code -1)");
  EXPECT_EQ(Sorted(Lines(SplitAtSummary(r.output).before)), expected);
  EXPECT_TRUE(EndsInSummary(r.output, {{"[scan err]", 2}}));
  EXPECT_EQ(Sorted(LogLines(MainLog(folder))), expected);
}

TEST_F(ShelfscanRun, AnyNameReachesBookmenderUnchangedAndStaysOneLineInTheLogs) {
  const std::string program = Install();
  // The root itself holds a blank, a comma, quotes and a byte that is no UTF-8.
  const std::string rootName = "dir \xFE, \"x\"";
  const std::string root = Folder(rootName);
  const std::string shown = Path("dir " + kFffd + ", \"x\"");
  const std::vector<std::pair<std::string, std::string>> names = {
      {"a b, c.xls", "a b, c.xls"},
      {"\"quoted\" 'single'.xls", "\"quoted\" 'single'.xls"},
      {"caf\xC3\xA9 \xE6\x97\xA5.xls", "caf\xC3\xA9 \xE6\x97\xA5.xls"},
      {"raw\xFF\xC3.xls", "raw" + kFffd + kFffd + ".xls"},
      {"new\nline.xls", "new" + kFffd + "line.xls"},
      {"tab\tcr\r.xls", "tab" + kFffd + "cr" + kFffd + ".xls"},
      {"-fix.xls", "-fix.xls"},
  };
  std::vector<std::vector<std::string>> calls;
  std::vector<std::string> log;
  for (const auto& [name, inLog] : names) {
    File(rootName + "/" + name);
    calls.push_back({"-check", root + "/" + name});
    log.push_back("[ok]," + shown + "/" + inLog);
  }
  Link(rootName + "/li\nnk\x01", ".");
  const std::string warning = "[warning]," + shown + "/li" + kFffd + "nk" + kFffd + ",Skipped symbolic link";
  log.push_back(warning);

  const auto [option, folder] = LogFolder();
  const ProcessResult r = Scan({root, option}, {}, program);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ScanConsoleIs(r.output, warning + "\n", {{"[ok]", names.size()}}));
  EXPECT_EQ(Sorted(LogLines(MainLog(folder))), Sorted(log));
  std::vector<std::vector<std::string>> recorded = Calls(Path("record"));
  std::sort(recorded.begin(), recorded.end());
  std::sort(calls.begin(), calls.end());
  EXPECT_EQ(recorded, calls);
}

TEST_F(ShelfscanRun, ScanGoesOnWhenNobodyReadsTheConsole) {
  const std::string program = Install();
  const std::string root = Folder("r");
  File("r/code-0.xls");
  const auto [option, folder] = LogFolder();
  int console[2];
  ASSERT_EQ(::pipe(console), 0);
  ::close(console[0]);  // the reader is gone before the first line
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(console[1], STDOUT_FILENO);
    ::dup2(console[1], STDERR_FILENO);
    ::execl(program.c_str(), program.c_str(), option.c_str(), "missing", root.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(console[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(MainLog(folder), LogBytes({"[scan err],missing," + kNotFound, "[ok]," + root + "/code-0.xls"}));
}

// --- With the real Bookmender ---

TEST_F(ShelfscanRun, DetailLogHoldsEveryRunWholeInWalkOrder) {
  const std::string root = Folder("r");
  Folder("r/sub");
  samples::WorkbookKind damaged;
  damaged.moved = {12};
  samples::WorkbookKind untagged;
  untagged.tagged = false;
  const std::map<std::string, std::string> files = {
      {root + "/untagged.xls", "[ok],"},
      {root + "/sub/damaged book.xls", "[fixable],"},
      {root + "/text.xls", "[not BIFF8 workbook],"},
  };
  WriteFileBytes(root + "/untagged.xls", samples::MakeWorkbook(untagged));
  WriteFileBytes(root + "/sub/damaged book.xls", samples::MakeWorkbook(damaged));
  WriteFileBytes(root + "/text.xls", Text("plain text\n"));
  std::vector<std::string> order;
  for (const auto& file : files) order.push_back(file.first);
  order = InWalkOrder(root, order);

  const auto [option, folder] = LogFolder();
  const ProcessResult r = Scan({"-detail", option, root});
  EXPECT_EQ(r.exitCode, 0);
  const LabelCounts counts = {{"[ok]", 1}, {"[fixable]", 1}, {"[not BIFF8 workbook]", 1}};
  EXPECT_TRUE(ScanConsoleIs(r.output, "", counts));
  std::vector<std::string> log;
  std::string detail;
  for (const std::string& path : order) {
    log.push_back(files.at(path) + path);
    ProcessOptions merged;
    merged.mergeOutput = true;
    const ProcessResult alone = RunProcess({BOOKMENDER_EXE, "-check", path}, merged);
    EXPECT_TRUE(Contains(alone.output, "Final result: ")) << path;
    detail += alone.output;
  }
  EXPECT_EQ(MainLog(folder), LogBytes(log));
  // Beside the main log, named after it.
  std::vector<std::string> names = Sorted(Entries(folder));
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[1], names[0].substr(0, names[0].size() - 4) + "_detail.log");
  const Bytes bytes = ReadFileBytes(folder + "/" + names[1]);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), detail);

  // Without "-detail" the children's output goes nowhere.
  const auto [quietOption, quietFolder] = LogFolder();
  const ProcessResult quiet = Scan({quietOption, root});
  EXPECT_TRUE(ScanConsoleIs(quiet.output, "", counts));
  EXPECT_EQ(Entries(quietFolder).size(), 1u) << "no detail log";
}

TEST_F(ShelfscanRun, EscapeSequencesInNamesReachNoConsoleAndNoLog) {
  // Sequences that clear a terminal, set its title and (C1 CSI) recolour it.
  const std::string esc = "\x1B[2J\x1B]0;owned\x07\xC2\x9B" "31m";
  const std::string shownEsc = kFffd + "[2J" + kFffd + "]0;owned" + kFffd + kFffd + "31m";
  samples::WorkbookKind damaged;
  damaged.moved = {12};
  const Bytes bytes = samples::MakeWorkbook(damaged);
  const std::string root = Folder("r");
  const std::string file = File("r/" + esc + ".xls", bytes);
  Link("r/" + esc + "link", ".");
  const std::string shownRoot = root + "/";

  const auto [option, folder] = LogFolder();
  const ProcessResult r = Scan({"-detail", option, root, Path(esc + "missing")});
  EXPECT_EQ(r.exitCode, 0);
  const std::vector<std::string> console = {
      "[warning]," + shownRoot + shownEsc + "link,Skipped symbolic link",
      "[scan err]," + Path(shownEsc + "missing") + "," + kNotFound,
  };
  EXPECT_TRUE(ScanConsoleIs(r.output, ConsoleText(console), {{"[fixable]", 1}}));
  // The file was checked under its own name, and is shown with U+FFFD.
  std::vector<std::string> log = {"[fixable]," + shownRoot + shownEsc + ".xls", console[0], console[1]};
  EXPECT_EQ(Sorted(LogLines(MainLog(folder))), Sorted(log));
  EXPECT_EQ(ReadFileBytes(file), bytes);

  std::string detail;
  for (const std::string& name : Entries(folder)) {
    if (Contains(name, "_detail")) {
      const Bytes d = ReadFileBytes(folder + "/" + name);
      detail.assign(d.begin(), d.end());
    }
  }
  EXPECT_TRUE(Contains(detail, "\nChecking " + shownRoot + shownEsc + ".xls\n")) << detail;
  EXPECT_TRUE(Contains(detail, "Final result: ")) << detail;
  for (const std::string& text : {r.output, detail}) {
    EXPECT_EQ(text.find('\x1B'), std::string::npos);
    EXPECT_EQ(text.find('\x07'), std::string::npos);
    EXPECT_EQ(text.find("\xC2\x9B"), std::string::npos);
  }
  const std::string raw = MainLog(folder);
  for (const char unit : {'\x1B', '\x07', '\x9B'}) {
    for (std::size_t i = 2; i + 1 < raw.size(); i += 2) {
      EXPECT_FALSE(raw[i] == unit && raw[i + 1] == 0)
          << "U+00" << std::hex << int(static_cast<unsigned char>(unit)) << " in the main log";
    }
  }
}

TEST_F(ShelfscanRun, RealResultsOfAnUnprivilegedScanBecomeTheirLabels) {
  const std::string program = Install("real");
  const std::string root = Folder("r");
  const std::string logs = NobodysFolder("logs");
  samples::WorkbookKind password;
  password.password = true;
  samples::WorkbookKind damaged;
  damaged.moved = {6, 12};
  File("r/password.xls", samples::MakeWorkbook(password));
  File("r/secret.xls", samples::MakeWorkbook(damaged));
  ASSERT_EQ(::chmod(Path("r/secret.xls").c_str(), 0000), 0);
  const std::string held = File("r/held.xls", samples::MakeWorkbook(damaged));
  File("r/damaged.xls", samples::MakeWorkbook(damaged));
  Link("r/gone.xls", "nothing here");
  LockHolder holder(held, 'w');
  ASSERT_TRUE(holder.held());

  ProcessOptions options;
  options.uid = kNobody;
  const ProcessResult r = Scan({"-l:" + logs, root}, options, program);
  EXPECT_EQ(r.exitCode, 0);
  const std::string skipped = "[warning]," + root + "/gone.xls,Skipped symbolic link";
  EXPECT_TRUE(ScanConsoleIs(r.output, skipped + "\n",
                            {{"[fixable]", 1}, {"[password]", 1}, {"[access denied]", 1}, {"[sharing violation]", 1}}));
  EXPECT_EQ(Sorted(LogLines(MainLog(logs))),
            Sorted({"[password]," + root + "/password.xls", "[access denied]," + root + "/secret.xls",
                    "[sharing violation]," + root + "/held.xls", "[fixable]," + root + "/damaged.xls", skipped}));
}

TEST_F(ShelfscanRun, AStopRequestLetsTheRunningBookmenderEndAndEndsTheScanWithTheSignal) {
  // Many damaged workbooks, fixed by the real Bookmender; the request comes
  // once a few are done. Sent to Shelfscan alone, the running Bookmender
  // finishes its file; sent to the process group, as a terminal sends
  // Ctrl-C, Bookmender gets it too and ends on its own.
  samples::WorkbookKind kind;
  kind.moved = {12};
  const Bytes damaged = samples::MakeWorkbook(kind);
  const std::string tmp = Folder("tmp");
  const std::string console = Path("console");
  constexpr int kFiles = 150;
  int run = 0;
  for (const int sig : {SIGINT, SIGTERM}) {
    for (const bool group : {false, true}) {
      SCOPED_TRACE(std::string(sig == SIGINT ? "SIGINT" : "SIGTERM") + (group ? " to the group" : " alone"));
      const std::string root = Folder("r" + std::to_string(run++));
      for (int i = 0; i < kFiles; ++i) {
        File(root.substr(dir_.path().size() + 1) + "/" + std::to_string(i) + ".xls", damaged);
      }
      const auto [option, folder] = LogFolder();

      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ::setpgid(0, 0);
        const int out = ::open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        const std::string tmpdir = "TMPDIR=" + tmp;
        ::putenv(const_cast<char*>(tmpdir.c_str()));
        ::execl(SHELFSCAN_EXE, SHELFSCAN_EXE, "-fix", option.c_str(), root.c_str(), nullptr);
        ::_exit(127);
      }
      // A few lines logged: the scan is under way, most likely in a run.
      const auto logged = [&folder = folder]() {
        for (const std::string& name : Entries(folder)) {
          struct stat st {};
          if (::stat((folder + "/" + name).c_str(), &st) == 0) return static_cast<long>(st.st_size);
        }
        return 0L;
      };
      for (int waited = 0; logged() < 200 && waited < 20000; ++waited) ::usleep(1000);
      ASSERT_EQ(::kill(group ? -pid : pid, sig), 0);
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFSIGNALED(status)) << "exit code " << WEXITSTATUS(status);
      EXPECT_EQ(WTERMSIG(status), sig);

      const std::vector<std::string> log = LogLines(MainLog(folder));
      ASSERT_FALSE(log.empty());
      ASSERT_LT(log.size(), static_cast<std::size_t>(kFiles)) << "the scan was over before the request";
      // The last line is the file the scan stopped at; the console says so.
      const std::size_t from = log.back().find(',') + 1;
      const std::string last = log.back().substr(from, log.back().find(',', from) - from);
      // Before that line, the summary of the files whose lines were written.
      const Bytes bytes = ReadFileBytes(console);
      const ScanConsole shown = SplitAtSummary(std::string(bytes.begin(), bytes.end()));
      EXPECT_EQ(shown.after, "Scan interrupted at " + last + "\n");
      const unsigned long fixedLines = static_cast<unsigned long>(
          std::count_if(log.begin(), log.end(), [](const std::string& line) { return StartsWith(line, "[fixed],"); }));
      LabelCounts counts;
      if (fixedLines > 0) counts.emplace_back("[fixed]", fixedLines);
      if (fixedLines < log.size()) counts.emplace_back("[scan err]", log.size() - fixedLines);
      EXPECT_TRUE(shown.summary.found);
      EXPECT_EQ(shown.summary.labels, counts);
      EXPECT_EQ(shown.problems, std::vector<std::string>{});
      const std::string killed =
          "[scan err]," + last + ",Failed to launch Bookmender (error code -" + std::to_string(sig) + ")";
      if (!group) {
        EXPECT_EQ(log.back(), "[fixed]," + last) << "the running Bookmender finished its file";
        EXPECT_EQ(shown.before, "");
      } else if (log.back() == killed) {
        EXPECT_EQ(shown.before, killed + "\n");
      } else {
        EXPECT_EQ(log.back(), "[fixed]," + last);
      }

      // Files before it fixed with their backups, files after it untouched;
      // the one it stopped at is whole either way.
      std::vector<std::string> fixed;
      for (const std::string& line : log) {
        if (StartsWith(line, "[fixed],")) fixed.push_back(line.substr(8));
      }
      EXPECT_GE(fixed.size(), log.size() - 1);
      for (int i = 0; i < kFiles; ++i) {
        const std::string path = root + "/" + std::to_string(i) + ".xls";
        const bool isFixed = std::find(fixed.begin(), fixed.end(), path) != fixed.end();
        if (isFixed) {
          EXPECT_NE(ReadFileBytes(path), damaged) << path;
          EXPECT_EQ(ReadFileBytes(path + ".bak"), damaged) << path;
        } else if (path != last) {
          EXPECT_EQ(ReadFileBytes(path), damaged) << path;
          EXPECT_FALSE(Exists(path + ".bak")) << path;
        }
      }
      EXPECT_TRUE(Entries(tmp).empty()) << "a temporary copy was left behind";
    }
  }
}

TEST_F(ShelfscanRun, FixModeRepairsDamagedCopiesOfRealWorkbooksByteForByte) {
  const std::string corpus = CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "corpus folder ../shared/corpus not found";
  const std::string root = Folder("r");
  Folder("r/damaged copies");
  Folder("r/healthy");
  std::map<std::string, Bytes> repaired, damagedBytes, healthy;
  std::uint32_t k = 1;
  for (const char* name : {"44861.xls", "WithThreeCharts.xls"}) {
    const Bytes tagged = AddUserProperty(ReadFileBytes(corpus + "/" + name), u"TMTAG");
    const std::string path = File("r/damaged copies/" + std::string(name), tagged);
    ASSERT_GT(DamageSuspiciousSheets(path, k++), 0) << name;
    damagedBytes[path] = ReadFileBytes(path);
    ASSERT_NE(damagedBytes[path], tagged) << name;
    repaired[path] = tagged;
  }
  for (const char* name : {"WithChart.xls", "46137.xls"}) {
    healthy[File("r/healthy/tagged " + std::string(name),
                 AddUserProperty(ReadFileBytes(corpus + "/" + name), u"TMTAG"))] = {};
  }
  healthy[File("r/healthy/untagged 44861.xls", ReadFileBytes(corpus + "/44861.xls"))] = {};
  for (auto& [path, bytes] : healthy) bytes = ReadFileBytes(path);

  const auto expectLog = [&](const std::string& folder, const std::string& damagedLabel) {
    std::vector<std::string> lines;
    for (const auto& entry : damagedBytes) lines.push_back(damagedLabel + entry.first);
    for (const auto& entry : healthy) lines.push_back("[ok]," + entry.first);
    EXPECT_EQ(Sorted(LogLines(MainLog(folder))), Sorted(lines)) << damagedLabel;
  };

  // Check mode changes nothing.
  auto [option, folder] = LogFolder();
  EXPECT_EQ(Scan({"-check", option, root}).exitCode, 0);
  expectLog(folder, "[fixable],");
  for (const auto& [path, bytes] : damagedBytes) EXPECT_EQ(ReadFileBytes(path), bytes);
  EXPECT_EQ(Entries(Path("r/damaged copies")).size(), damagedBytes.size()) << "no backups in check mode";

  // Fix mode repairs each damaged copy exactly and keeps it as its backup.
  std::tie(option, folder) = LogFolder();
  EXPECT_EQ(Scan({"-fix", option, root}).exitCode, 0);
  expectLog(folder, "[fixed],");
  for (const auto& [path, bytes] : damagedBytes) {
    EXPECT_EQ(ReadFileBytes(path), repaired[path]) << path;
    ASSERT_TRUE(Exists(path + ".bak")) << path;
    EXPECT_EQ(ReadFileBytes(path + ".bak"), bytes) << path;
  }
  for (const auto& [path, bytes] : healthy) {
    EXPECT_EQ(ReadFileBytes(path), bytes) << path;
    EXPECT_FALSE(Exists(path + ".bak")) << path;
  }

  // Once repaired they are healthy, and the backups are never selected.
  std::tie(option, folder) = LogFolder();
  EXPECT_EQ(Scan({"-fix", option, root}).exitCode, 0);
  expectLog(folder, "[ok],");
}

TEST_F(ShelfscanRun, SampleFolderGivesItsDocumentedLabels) {
  const std::string root = Path("samples");
  const std::vector<samples::Sample> written = samples::WriteSampleFolder(root);
  for (const bool fix : {false, true}) {
    const auto [option, folder] = LogFolder();
    EXPECT_EQ(Scan({fix ? "-fix" : "-check", option, root}).exitCode, 0);
    std::vector<std::string> expected;
    for (const samples::Sample& s : written) expected.push_back((fix ? s.fixLabel : s.checkLabel) + root + "/" + s.path);
    EXPECT_EQ(Sorted(LogLines(MainLog(folder))), Sorted(expected));
  }
}

// --- Several runs at once, the report, the progress line and the summary ---

namespace {

// Writes a block of lines on both of its streams with pauses between them,
// so that the blocks of two children running at once would mix if they were
// written straight into one file, and lists what the temporary folder holds
// meanwhile (the children's scratch files must have no name there).
const char kTalker[] =
    "#!/bin/sh\n"
    "for last; do :; done; set -- \"$1\" \"$last\"\n"
    "echo \"begin $2\"\n"
    "ls -A \"$TMPDIR\" | sed 's/^/named: /'\n"
    "for i in 1 2 3 4; do echo \"out $i $2\"; echo \"err $i $2\" >&2; sleep 0.02; done\n"
    "echo \"end $2\"\n";

// What a run printed on a terminal and on pipes.
struct TerminalRun {
  int status = 0;
  std::string terminal;  // what reached the pseudo-terminal
  std::string output;    // standard output, when it was a pipe
  std::string error;     // standard error, when it was a pipe
};

// Runs `argv` with standard output and/or standard error on a pseudo-terminal
// (raw, so that its bytes come through unchanged) and the others on pipes.
// `stop` > 0: SIGINT to the program after that many milliseconds.
TerminalRun RunOnTerminal(const std::vector<std::string>& argv, bool outputOnTerminal, bool errorOnTerminal,
                          int stop = 0) {
  TerminalRun run;
  int master = -1, slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "no pseudo-terminal";
    return run;
  }
  termios raw{};
  ::tcgetattr(slave, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(slave, TCSANOW, &raw);
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) {
    ADD_FAILURE() << "no pipes";
    return run;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outputOnTerminal ? slave : out[1], STDOUT_FILENO);
    ::dup2(errorOnTerminal ? slave : err[1], STDERR_FILENO);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(slave);
  ::close(out[1]);
  ::close(err[1]);
  const auto drain = [](int from, std::string& text) {
    char buffer[4096];
    for (ssize_t n; (n = ::read(from, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(from);
  };
  std::thread pipes([&] {
    drain(out[0], run.output);
    drain(err[0], run.error);
  });
  std::thread stopper;
  if (stop > 0) {
    stopper = std::thread([pid, stop] {
      ::usleep(static_cast<useconds_t>(stop) * 1000);
      ::kill(pid, SIGINT);
    });
  }
  drain(master, run.terminal);  // ends with EIO once the program is gone
  ::waitpid(pid, &run.status, 0);
  pipes.join();
  if (stopper.joinable()) stopper.join();
  return run;
}

// The status lines drawn on a terminal: the pieces between carriage returns,
// without the blanks that clear a longer one.
std::vector<std::string> StatusLines(const std::string& terminal) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while ((start = terminal.find('\r', start)) != std::string::npos) {
    std::size_t end = terminal.find_first_of("\r\n", start + 1);
    std::string piece = terminal.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    while (!piece.empty() && piece.back() == ' ') piece.pop_back();
    if (!piece.empty()) lines.push_back(piece);
    start = start + 1;
  }
  return lines;
}

}  // namespace

TEST_F(ShelfscanRun, TwoJobsLogTheSameLinesAsOneAndRunEveryFileOnce) {
  const std::string program = Install();
  const std::string root = Folder("r");
  Folder("r/sub");
  std::vector<std::string> files;
  for (const int code : {0, 1, 2, 3, 4, 5, 51, 52, 53, 54, 55, 56, 57, 58}) {
    for (const char* folder : {"r/", "r/sub/"}) files.push_back(File(folder + std::string("code-") + std::to_string(code) + ".xls"));
  }
  for (int i = 0; i < 20; ++i) files.push_back(File("r/sub/" + std::to_string(i) + ".xls"));
  files.push_back(File("r/kill-9.xls"));
  Link("r/link", "sub");
  for (const char* mode : {"-check", "-fix"}) {
    std::vector<std::string> logs[2];
    for (const int jobs : {1, 2}) {
      ::unlink(Path("record").c_str());
      const auto [option, folder] = LogFolder();
      const ProcessResult r = Scan({mode, "-jobs:" + std::to_string(jobs), option, root, Path("missing")}, {}, program);
      EXPECT_EQ(r.exitCode, 0) << r.output;
      logs[jobs - 1] = Sorted(LogLines(MainLog(folder)));
      std::vector<std::string> called;
      for (const std::vector<std::string>& call : Calls(Path("record"))) {
        ASSERT_EQ(call.size(), 2u);
        EXPECT_EQ(call[0], mode);
        called.push_back(call[1]);
      }
      EXPECT_EQ(Sorted(called), Sorted(files)) << "every file once, with " << jobs << " jobs";
      // The console gets the warning and the two scan errors whole, then the
      // same summary either way.
      EXPECT_EQ(Sorted(Lines(SplitAtSummary(r.output).before)),
                Sorted({"[scan err]," + Path("missing") + "," + kNotFound, "[warning]," + root + "/link,Skipped symbolic link",
                        "[scan err]," + root + "/kill-9.xls,Failed to launch Bookmender (error code -9)"}));
      EXPECT_TRUE(EndsInSummary(r.output, {{"[ok]", 22}, {std::string(mode) == "-fix" ? "[fixed]" : "[fixable]", 2},
                                           {"[broken]", 2}, {"[container problem]", 2}, {"[password]", 2},
                                           {"[file not found]", 2}, {"[access denied]", 2}, {"[sharing violation]", 2},
                                           {"[not BIFF8 workbook]", 2}, {"[temp copy failed]", 2},
                                           {"[copy back failed]", 2}, {"[backup failed]", 2}, {"[unexpected]", 4},
                                           {"[scan err]", 1}}));
    }
    EXPECT_EQ(logs[1], logs[0]) << mode;
    EXPECT_EQ(logs[0].size(), files.size() + 2);
  }
  // One per processor, and values that are no number of runs.
  const auto [option, folder] = LogFolder();
  EXPECT_EQ(Scan({"-jobs:0", option, root}, {}, program).exitCode, 0);
  EXPECT_EQ(LogLines(MainLog(folder)).size(), files.size() + 1);
  for (const char* bad : {"-jobs:", "-jobs:two", "-jobs:-2", "-jobs:1000"}) {
    const auto [badOption, badFolder] = LogFolder();
    const ProcessResult r = Scan({bad, badOption, root}, {}, program);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, std::string("Invalid parameter ") + bad +
                            ": -jobs: takes the number of Bookmender runs at once, 1 to 256, or 0 for one per processor.\n");
    EXPECT_FALSE(Exists(badFolder)) << "nothing is made";
  }
}

TEST_F(ShelfscanRun, FixWithTwoJobsRepairsEachDamagedCopyByteForByteWithOneBackupEach) {
  samples::WorkbookKind sound;
  sound.moved = {0, 0};
  const Bytes healthy = samples::MakeWorkbook(sound);
  const std::string root = Folder("r");
  std::map<std::string, Bytes> damaged;
  for (int i = 0; i < 8; ++i) {
    const std::string path = File("r/copy " + std::to_string(i) + ".xls", healthy);
    ASSERT_GT(DamageSuspiciousSheets(path, static_cast<std::uint32_t>(1 + i % 3)), 0);
    damaged[path] = ReadFileBytes(path);
    ASSERT_NE(damaged[path], healthy);
  }
  const std::string untouched = File("r/healthy.xls", healthy);
  const auto [option, folder] = LogFolder();
  const std::string report = Path("fix.jsonl");
  const ProcessResult r = Scan({"-fix", "-jobs:2", "-report:" + report, option, root});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[ok]", 1}, {"[fixed]", damaged.size()}}));

  std::vector<std::string> expected{"[ok]," + untouched};
  for (const auto& entry : damaged) expected.push_back("[fixed]," + entry.first);
  EXPECT_EQ(Sorted(LogLines(MainLog(folder))), Sorted(expected)) << "one [fixed], line each";
  for (const auto& [path, bytes] : damaged) {
    EXPECT_EQ(ReadFileBytes(path), healthy) << path;
    EXPECT_EQ(ReadFileBytes(path + ".bak"), bytes) << path;
  }
  EXPECT_EQ(ReadFileBytes(untouched), healthy);
  std::vector<std::string> names = Entries(root);
  EXPECT_EQ(names.size(), 2 * damaged.size() + 1) << "one backup each, and no other file";

  // The report names each backup.
  const auto entries = ReportEntries(report);
  ASSERT_EQ(entries.size(), damaged.size() + 1);
  for (const auto& entry : entries) {
    const std::string path = PathOf(entry, "path");
    const bool fixed = damaged.count(path) == 1;
    EXPECT_EQ(entry.at("label").text, fixed ? "fixed" : "ok") << path;
    EXPECT_EQ(entry.at("exit").number, fixed ? 1 : 0) << path;
    EXPECT_EQ(PathOf(entry, "backup"), fixed ? path + ".bak" : "") << path;
    EXPECT_GT(entry.at("seconds").number, 0) << path;
  }
}

TEST_F(ShelfscanRun, WithTwoJobsTheDetailLogHoldsEachRunAsOneBlockAndNoScratchFileHasAName) {
  const std::string program = Install(kTalker);
  const std::string root = Folder("r");
  std::set<std::string> files;
  for (int i = 0; i < 12; ++i) files.insert(File("r/" + std::to_string(i) + ".xls"));
  const std::string tmp = Folder("tmp");
  ProcessOptions options;
  options.environment.push_back("TMPDIR=" + tmp);
  const auto [option, folder] = LogFolder();
  const ProcessResult r = Scan({"-detail", "-jobs:2", option, root}, options, program);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[ok]", files.size()}}));

  std::string detail;
  for (const std::string& name : Entries(folder)) {
    if (Contains(name, "_detail")) {
      const Bytes bytes = ReadFileBytes(folder + "/" + name);
      detail.assign(bytes.begin(), bytes.end());
    }
  }
  // Blocks one after another, each whole: its own lines only, both streams.
  const std::vector<std::string> lines = Lines(detail);
  std::set<std::string> seen;
  std::size_t i = 0;
  while (i < lines.size()) {
    ASSERT_TRUE(StartsWith(lines[i], "begin ")) << lines[i];
    const std::string file = lines[i].substr(6);
    EXPECT_TRUE(seen.insert(file).second) << file << " twice";
    std::vector<std::string> block;
    for (++i; i < lines.size() && lines[i] != "end " + file; ++i) block.push_back(lines[i]);
    ASSERT_LT(i, lines.size()) << "the block of " << file << " has no end";
    ++i;
    std::vector<std::string> expected;
    for (int k = 1; k <= 4; ++k) {
      expected.push_back("out " + std::to_string(k) + " " + file);
      expected.push_back("err " + std::to_string(k) + " " + file);
    }
    EXPECT_EQ(block, expected) << "the block of " << file << " (a line \"named: \" is a file in TMPDIR)";
  }
  EXPECT_EQ(seen, files);
  EXPECT_TRUE(Entries(tmp).empty());
}

TEST_F(ShelfscanRun, AStopRequestDuringTwoJobsLetsTheRunsEndAndNamesAFileWhoseLineIsWhole) {
  samples::WorkbookKind kind;
  kind.moved = {12};
  const Bytes damaged = samples::MakeWorkbook(kind);
  const std::string root = Folder("r");
  constexpr int kFiles = 150;
  for (int i = 0; i < kFiles; ++i) File("r/" + std::to_string(i) + ".xls", damaged);
  const std::string console = Path("console");
  const std::string report = Path("stop.jsonl");
  const auto [option, folder] = LogFolder();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int out = ::open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    const std::string reportOption = "-report:" + report;
    ::execl(SHELFSCAN_EXE, SHELFSCAN_EXE, "-fix", "-jobs:2", "-detail", reportOption.c_str(), option.c_str(),
            root.c_str(), nullptr);
    ::_exit(127);
  }
  const auto logged = [&folder = folder]() {
    for (const std::string& name : Entries(folder)) {
      struct stat st {};
      if (!Contains(name, "_detail") && ::stat((folder + "/" + name).c_str(), &st) == 0) return static_cast<long>(st.st_size);
    }
    return 0L;
  };
  for (int waited = 0; logged() < 300 && waited < 20000; ++waited) ::usleep(1000);
  ASSERT_EQ(::kill(pid, SIGINT), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit code " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGINT);

  const std::vector<std::string> log = LogLines(MainLog(folder));  // fails on a torn line
  ASSERT_FALSE(log.empty());
  ASSERT_LT(log.size(), static_cast<std::size_t>(kFiles)) << "the scan was over before the request";
  // On the console only the summary of the lines written and the last line.
  const Bytes bytes = ReadFileBytes(console);
  const ScanConsole shown = SplitAtSummary(std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(shown.before, "");
  EXPECT_EQ(shown.summary.labels, (LabelCounts{{"[fixed]", log.size()}}));
  EXPECT_EQ(shown.problems, std::vector<std::string>{});
  EXPECT_EQ(shown.after, "Scan interrupted at " + log.back().substr(std::string("[fixed],").size()) + "\n");
  // Every run that started ended and has its line, its report entry and its
  // backup; every other file is untouched.
  std::set<std::string> fixed;
  for (const std::string& line : log) {
    EXPECT_TRUE(StartsWith(line, "[fixed],")) << line;
    fixed.insert(line.substr(8));
  }
  std::set<std::string> reported;
  for (const auto& entry : ReportEntries(report)) reported.insert(PathOf(entry, "path"));
  EXPECT_EQ(reported, fixed);
  for (int i = 0; i < kFiles; ++i) {
    const std::string path = root + "/" + std::to_string(i) + ".xls";
    if (fixed.count(path)) {
      EXPECT_NE(ReadFileBytes(path), damaged) << path;
      EXPECT_EQ(ReadFileBytes(path + ".bak"), damaged) << path;
    } else {
      EXPECT_EQ(ReadFileBytes(path), damaged) << path;
      EXPECT_FALSE(Exists(path + ".bak")) << path;
    }
  }
}

TEST_F(ShelfscanRun, ReportGivesEveryPathBackExactlyWhateverItsName) {
  samples::WorkbookKind kind;
  kind.moved = {12};
  const Bytes damaged = samples::MakeWorkbook(kind);
  const std::string root = Folder("r, \"q\"");
  const std::vector<std::string> names = {
      "plain.xls",
      "new\nline.xls",
      "a, b, c.xls",
      "\"quoted\" and \\back\\slash.xls",
      "caf\xE9 latin-1.xls",
      "tab\tcr\rescape\x1B.xls",
      "caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x98\x80.xls",
  };
  std::set<std::string> paths;
  for (const std::string& name : names) paths.insert(File(root.substr(dir_.path().size() + 1) + "/" + name, damaged));
  File(root.substr(dir_.path().size() + 1) + "/text.xls", Text("not a workbook"));

  for (const int jobs : {1, 2}) {
    SCOPED_TRACE(std::to_string(jobs) + " jobs");
    const auto [option, folder] = LogFolder();
    const std::string report = Path("report" + std::to_string(jobs) + ".jsonl");
    const ProcessResult r = Scan({"-fix", "-jobs:" + std::to_string(jobs), "-report:" + report, option, root});
    EXPECT_EQ(r.exitCode, 0);
    const auto entries = ReportEntries(report);
    ASSERT_EQ(entries.size(), paths.size() + 1);
    std::set<std::string> fixed;
    for (const auto& entry : entries) {
      const std::string path = PathOf(entry, "path");
      // Base64 exactly for the names that are no UTF-8.
      EXPECT_EQ(entry.count("path_base64"), Contains(path, "\xE9 latin") ? 1u : 0u) << path;
      if (path == root + "/text.xls") {
        EXPECT_EQ(entry.at("label").text, "not BIFF8 workbook");
        EXPECT_EQ(entry.at("exit").number, 54);
        EXPECT_EQ(entry.at("backup").kind, JsonValue::kNull);
        continue;
      }
      fixed.insert(path);
      EXPECT_EQ(entry.at("label").text, "fixed") << path;
      EXPECT_EQ(entry.at("exit").number, 1) << path;
      const std::string backup = PathOf(entry, "backup");
      EXPECT_EQ(backup, path + (jobs == 1 ? ".bak" : ".bak001")) << path;
      EXPECT_EQ(ReadFileBytes(backup), damaged) << backup;
    }
    EXPECT_EQ(fixed, paths) << "every path back exactly";
    // Each scan appends to a report that is there already.
    const std::string again = Path("appended.jsonl");
    WriteFileBytes(again, Text("{\"earlier\":null}\n"));
    EXPECT_EQ(Scan({"-check", "-report:" + again, root}, {}, Install()).exitCode, 0);
    EXPECT_EQ(ReportEntries(again).size(), paths.size() + 2);
    ::unlink(again.c_str());
    for (const std::string& path : paths) WriteFileBytes(path, damaged);
  }
}

TEST_F(ShelfscanRun, ReportSaysNullForRunsThatCouldNotRunAndIsOpenedOnlyWhereALogWouldBe) {
  Folder("r");
  const std::string file = File("r/a.xls");
  const std::string killed = File("r/kill-9.xls");
  const std::string report = Path("null.jsonl");
  for (const std::string& program : {Install("#!/no/such/interpreter\n"), Install()}) {
    const bool started = program == Path("bin1/Shelfscan");
    const auto [option, folder] = LogFolder();
    ::unlink(report.c_str());
    EXPECT_EQ(Scan({"-report:" + report, "-jobs:2", option, Path("r")}, {}, program).exitCode, 0);
    const auto entries = ReportEntries(report);
    ASSERT_EQ(entries.size(), 2u);
    for (const auto& entry : entries) {
      const std::string path = PathOf(entry, "path");
      if (!started || path == killed) {
        EXPECT_EQ(entry.at("label").text, "scan err") << path;
        EXPECT_EQ(entry.at("exit").kind, JsonValue::kNull) << path;
        EXPECT_EQ(entry.count("signal"), started ? 1u : 0u);
        if (started) {
          EXPECT_EQ(entry.at("signal").number, 9);
        }
      } else {
        EXPECT_EQ(path, file);
        EXPECT_EQ(entry.at("label").text, "ok");
        EXPECT_EQ(entry.at("exit").number, 0);
      }
    }
  }

  // A link, another user's file or a missing folder in the report's place:
  // the scan does not start.
  const std::string program = Install();
  const std::string target = File("target", Text("keep\n"));
  const std::string theirs = File("theirs.jsonl", Text("theirs\n"));
  ASSERT_EQ(::chown(theirs.c_str(), kNobody, kNobody), 0);
  const std::vector<std::pair<std::string, std::string>> refused = {
      {Link("link.jsonl", target), "It is a symbolic link."},
      {theirs, "It belongs to another user."},
      {Path("missing/report.jsonl"), "The system cannot find the path specified."},
      {Folder("folder.jsonl"), "It is not a regular file."},
  };
  for (const auto& [path, reason] : refused) {
    ::unlink(Path("record").c_str());
    const auto [option, folder] = LogFolder();
    const ProcessResult r = Scan({"-report:" + path, option, Path("r")}, {}, program);
    EXPECT_EQ(r.exitCode, 1) << path;
    EXPECT_EQ(r.output, "[scan err]," + path + ",Cannot open the report: " + reason + "\n");
    EXPECT_TRUE(Calls(Path("record")).empty()) << "no run without the report";
  }
  EXPECT_EQ(ReadFileBytes(target), Text("keep\n"));
  EXPECT_EQ(ReadFileBytes(theirs), Text("theirs\n"));
  const ProcessResult r = Scan({"-report:", Path("r")}, {}, program);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "Invalid parameter -report: without a file name: -report:FILE names the report file.\n");
}

TEST_F(ShelfscanRun, ProgressOnATerminalOnlyAndTheSummaryCountsEveryLabel) {
  const std::string program = Install();
  const std::string root = Folder("r");
  for (int i = 0; i < 8; ++i) File("r/slow-" + std::to_string(i) + ".xls");
  File("r/code-1.xls");
  File("r/code-2.xls");
  Folder("r/sub");
  File("r/sub/code-2.xls");
  File("r/kill-9.xls");
  const std::string killed = "[scan err]," + root + "/kill-9.xls,Failed to launch Bookmender (error code -9)";
  const std::string record = "RECORD=" + Path("record");
  ::putenv(const_cast<char*>(record.c_str()));

  for (const int jobs : {1, 2}) {
    SCOPED_TRACE(std::to_string(jobs) + " jobs");
    const std::vector<std::string> argv{program, "-jobs:" + std::to_string(jobs), LogFolder().first, root};

    // Standard error on a terminal: the progress line, redrawn in place,
    // counts growing, at most a few times a second, cleared at the end.
    const auto started = std::chrono::steady_clock::now();
    TerminalRun run = RunOnTerminal(argv, false, true);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(WIFEXITED(run.status));
    const LabelCounts counts = {{"[ok]", 8}, {"[fixable]", 1}, {"[broken]", 2}, {"[scan err]", 1}};
    EXPECT_TRUE(ScanConsoleIs(run.output, killed + "\n", counts)) << "the summary on a standard output that is a pipe";
    const std::vector<std::string> status = StatusLines(run.terminal);
    ASSERT_GE(status.size(), jobs == 1 ? 4u : 2u) << run.terminal;
    EXPECT_LE(status.size(), static_cast<std::size_t>(seconds * 4) + 2);
    EXPECT_EQ(run.terminal.find('\n'), std::string::npos);
    EXPECT_EQ(run.terminal.back(), '\r') << "the line is cleared at the end";
    std::uint64_t before = 0;
    const std::regex shape("([0-9]+) files?, (-|[0-9]+\\.[0-9]) files/s, ([0-9]+) fixable, ([0-9]+) fixed, ([0-9]+) failed");
    for (const std::string& line : status) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
      const std::uint64_t done = std::stoul(m[1]);
      EXPECT_GE(done, before);
      EXPECT_LE(done, 12u);
      EXPECT_LE(std::stoul(m[3]), 1u);
      EXPECT_EQ(std::stoul(m[4]), 0u);
      EXPECT_LE(std::stoul(m[5]), 3u);
      before = done;
    }

    // Standard output on a terminal: the summary after the lines of the scan,
    // and no progress line on a standard error that is a pipe.
    run = RunOnTerminal(argv, true, false);
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(run.error, "");
    const std::vector<std::string> lines = Lines(run.terminal);
    ASSERT_EQ(lines.size(), 6u) << run.terminal;
    EXPECT_EQ(lines[0], killed);
    double took = -1;
    EXPECT_EQ(std::sscanf(lines[1].c_str(), "12 files checked in %lf s", &took), 1) << lines[1];
    EXPECT_GE(took, 1.5 / jobs);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
              (std::vector<std::string>{"  [ok] 8", "  [fixable] 1", "  [broken] 2", "  [scan err] 1"}));

    // Neither on a terminal: the same lines, and no progress line.
    run = RunOnTerminal(argv, false, false);
    EXPECT_TRUE(ScanConsoleIs(run.output, killed + "\n", counts));
    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.terminal, "");
  }

  // Interrupted on a terminal: the summary of what was done, then where it
  // stopped.
  for (int i = 8; i < 40; ++i) File("r/slow-" + std::to_string(i) + ".xls");
  const TerminalRun run = RunOnTerminal({program, "-jobs:2", LogFolder().first, root}, true, false, 700);
  ASSERT_TRUE(WIFSIGNALED(run.status));
  EXPECT_EQ(WTERMSIG(run.status), SIGINT);
  const std::vector<std::string> lines = Lines(run.terminal);
  ASSERT_GE(lines.size(), 3u) << run.terminal;
  EXPECT_TRUE(StartsWith(lines.back(), "Scan interrupted at " + root + "/")) << lines.back();
  const auto summary = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return Contains(l, " checked in "); });
  ASSERT_NE(summary, lines.end()) << run.terminal;
  unsigned long checked = 0;
  EXPECT_EQ(std::sscanf(summary->c_str(), "%lu files checked", &checked), 1);
  EXPECT_GT(checked, 0u);
  EXPECT_LT(checked, 44u);
  ::unsetenv("RECORD");
}

TEST_F(ShelfscanRun, TheSummaryEndsStandardOutputWhenItIsAPipeOrAFile) {
  const std::string program = Install();
  const std::string root = Folder("r");
  File("r/code-0.xls");
  File("r/plain.xls");
  File("r/code-1.xls");
  File("r/code-54.xls");
  File("r/kill-9.xls");
  File("r/notes.txt");
  const std::string before = "[scan err]," + Path("missing") + "," + kNotFound + "\n[scan err]," + root +
                             "/kill-9.xls,Failed to launch Bookmender (error code -9)\n";
  // A search path that is missing has its line but is no file checked.
  const LabelCounts counts = {{"[ok]", 2}, {"[fixable]", 1}, {"[not BIFF8 workbook]", 1}, {"[scan err]", 1}};
  ProcessOptions apart;
  apart.environment.push_back("RECORD=" + Path("record"));

  for (const int jobs : {1, 2}) {
    SCOPED_TRACE(std::to_string(jobs) + " jobs");
    const std::vector<std::string> arguments{"-jobs:" + std::to_string(jobs), LogFolder().first, Path("missing"), root};

    // Standard output a pipe, standard error another.
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessResult r = RunProcess(argv, apart);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(ScanConsoleIs(r.output, before, counts));
    EXPECT_EQ(r.error, "") << "nothing on a standard error that is no terminal";

    // Standard output a file.
    const std::string console = Path("console" + std::to_string(jobs));
    argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" > \"$CONSOLE\"", program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessOptions toFile = apart;
    toFile.environment.push_back("CONSOLE=" + console);
    r = RunProcess(argv, toFile);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "");
    const Bytes written = ReadFileBytes(console);
    EXPECT_TRUE(ScanConsoleIs(std::string(written.begin(), written.end()), before, counts));
  }

  // Names that end in ".xls" in another letter case get the case line, with
  // their number; checked with -anycase, they leave none.
  File("r/REPORT.XLS");
  Folder("r/sub");
  File("r/sub/Old.Xls");
  ProcessResult r = Scan({LogFolder().first, Path("missing"), root}, {}, program);
  EXPECT_TRUE(ScanConsoleIs(r.output, before, counts, 2));
  r = Scan({"-anycase", LogFolder().first, Path("missing"), root}, {}, program);
  EXPECT_TRUE(ScanConsoleIs(r.output, before,
                            {{"[ok]", 4}, {"[fixable]", 1}, {"[not BIFF8 workbook]", 1}, {"[scan err]", 1}}));
  File("r/sub/upper.XLS");
  r = Scan({"-jobs:2", LogFolder().first, root + "/sub"}, {}, program);
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {}, 2)) << "a folder with nothing to check still has its summary";
}

// Records where its standard output and standard error lead, and in fix mode
// names a backup for code-1.xls as Bookmender does.
const char kOutputWatcher[] =
    "#!/bin/sh\n"
    "printf '%s\\0' \"$#\" \"$@\" >> \"$RECORD\"\n"
    "printf '%s\\n%s\\n' \"$(readlink /proc/$$/fd/1)\" \"$(readlink /proc/$$/fd/2)\" >> \"$TARGETS\"\n"
    "for last; do :; done; set -- \"$1\" \"$last\"\n"
    "echo \"out $2\"\n"
    "case \"${2##*/}\" in\n"
    "  code-1.xls) [ \"$1\" = -fix ] && echo \"Backup copy successfully created: $2.bak\"; exit 1 ;;\n"
    "esac\n"
    "exit 0\n";

TEST_F(ShelfscanRun, ChildOutputThatNothingReadsGoesToTheNullDevice) {
  const std::string program = Install(kOutputWatcher);
  const std::string root = Folder("r");
  std::vector<std::string> files;
  for (int i = 0; i < 4; ++i) files.push_back(File("r/" + std::to_string(i) + ".xls"));
  const std::string fixable = File("r/code-1.xls");
  files.push_back(fixable);
  const std::string tmp = Folder("tmp");
  const std::string targets = Path("targets");
  ProcessOptions options;
  options.environment = {"TMPDIR=" + tmp, "TARGETS=" + targets};

  struct Case {
    std::vector<std::string> arguments;
    bool report;
    bool gathered;  // the output has a reader
  };
  const std::vector<Case> cases = {
      {{"-check", "-jobs:2"}, false, false},
      {{"-check", "-jobs:2"}, true, false},
      {{"-check", "-jobs:1"}, true, false},
      {{"-fix", "-jobs:2"}, false, false},
      {{"-fix", "-jobs:2"}, true, true},  // the report names the backup
      {{"-fix", "-jobs:1"}, true, true},
      {{"-check", "-jobs:2", "-detail"}, false, true},
      {{"-check", "-jobs:1"}, false, false},  // one at a time, as always
  };
  const std::string report = Path("report.jsonl");
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& a : c.arguments) shown += a + " ";
    SCOPED_TRACE(shown + (c.report ? "-report:" : ""));
    ::unlink(targets.c_str());
    ::unlink(report.c_str());
    const auto [option, folder] = LogFolder();
    std::vector<std::string> arguments = c.arguments;
    if (c.report) arguments.push_back("-report:" + report);
    arguments.insert(arguments.end(), {option, root});
    const ProcessResult r = Scan(arguments, options, program);
    EXPECT_EQ(r.exitCode, 0);
    const bool fix = c.arguments[0] == "-fix";
    const LabelCounts counts = {{"[ok]", 4}, {fix ? "[fixed]" : "[fixable]", 1}};
    EXPECT_TRUE(ScanConsoleIs(r.output, "", counts));

    // The same results whichever output the children had.
    std::vector<std::string> expected = Prefixed("[ok],", std::vector<std::string>(files.begin(), files.end() - 1));
    expected.push_back((fix ? "[fixed]," : "[fixable],") + fixable);
    EXPECT_EQ(Sorted(LogLines(MainLog(folder))), Sorted(expected));
    if (c.report) {
      const auto entries = ReportEntries(report);
      EXPECT_EQ(entries.size(), files.size());
      for (const auto& entry : entries) {
        const std::string path = PathOf(entry, "path");
        EXPECT_EQ(PathOf(entry, "backup"), fix && path == fixable ? fixable + ".bak" : "") << path;
      }
    }

    // Both streams of every child lead to one place: the null device, or a
    // scratch file that has no name.
    const Bytes recorded = ReadFileBytes(targets);
    const std::vector<std::string> where = Lines(std::string(recorded.begin(), recorded.end()));
    ASSERT_EQ(where.size(), 2 * files.size());
    for (const std::string& target : where) {
      if (c.gathered) {
        EXPECT_TRUE(Contains(target, "(deleted)")) << target;
      } else {
        EXPECT_EQ(target, "/dev/null");
      }
    }
    EXPECT_TRUE(Entries(tmp).empty()) << "a scratch file was left";
  }
}

}  // namespace
