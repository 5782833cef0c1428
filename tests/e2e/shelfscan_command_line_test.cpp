// The built Shelfscan's command line: its help, its options, and the log
// folder and log name they lead to.
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "process.h"
#include "scan_console.h"
#include "shelfscan_run.h"
#include "shelfscan_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace shelfscantest;

namespace {

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
    "  Shelfscan -undo:Report [-l:LogFolderName] [-report:File] [-jobs:N]\n"
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
    "  -perfile         : Start Bookmender once for each file instead of keeping\n"
    "                     one running per job to check file after file.\n"
    "  -resume          : Go on with the report of an earlier run of the same mode\n"
    "                     (-report:File): pass over every file it already has a\n"
    "                     final outcome for ([sharing violation], [timed out],\n"
    "                     [unexpected] and [scan err] are run again).\n"
    "  -undo:Report     : Put back the backup of every file Report says was\n"
    "                     [fixed], if the file is still what the repair left and\n"
    "                     the backup the one it made. No search paths. Each file\n"
    "                     is logged as [restored], [changed since repair],\n"
    "                     [backup missing], [backup changed] or [restore failed]\n"
    "                     (or [file not found], [access denied],\n"
    "                     [sharing violation]).\n"
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

}  // namespace
