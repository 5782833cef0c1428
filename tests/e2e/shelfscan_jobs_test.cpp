// The built Shelfscan running several Bookmender runs at once: the same logs
// as one at a time, whole detail blocks, a stop request during two jobs, and
// where the output of each run goes.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <set>

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

// --- Several runs at once ---

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

TEST_F(ShelfscanRun, TwoJobsLogTheSameLinesAsOneAndRunEveryFileOnce) {
  const std::string program = Install();
  const std::string root = Folder("r");
  Folder("r/sub");
  std::vector<std::string> files;
  for (const int code : {0, 1, 2, 3, 4, 6, 51, 52, 53, 54, 55, 56, 57, 62}) {
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
    EXPECT_GE(entry.at("seconds").number, 0) << path;
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

// Records where its standard output and standard error lead, and in fix mode
// names a backup for code-1.xls as Bookmender does, in its result record.
const char kOutputWatcher[] =
    "#!/bin/sh\n"
    "printf '%s\\0' \"$#\" \"$@\" >> \"$RECORD\"\n"
    "printf '%s\\n%s\\n' \"$(readlink /proc/$$/fd/1)\" \"$(readlink /proc/$$/fd/2)\" >> \"$TARGETS\"\n"
    RESULT_CHANNEL_OF_ARGUMENTS
    "for last; do :; done; set -- \"$1\" \"$last\"\n"
    "echo \"out $2\"\n"
    "case \"${2##*/}\" in\n"
    "  code-1.xls) [ \"$1\" = -fix ] && echo \"Backup copy successfully created: $2.bak\" && record 1 \"$2.bak\"; exit 1 ;;\n"
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
      {{"-fix", "-jobs:2"}, true, false},  // the report's backup comes in the record
      {{"-fix", "-jobs:1"}, true, false},
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
