// A repair campaign: a fix with a report stopped and resumed, the refusals of
// -resume, and -undo: driving Bookmender's undo from a report.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "process.h"
#include "samples.h"
#include "scan_console.h"
#include "sha256.h"
#include "shelfscan_run.h"
#include "shelfscan_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace shelfscantest;

namespace {

std::size_t LineCount(const std::string& path) {
  if (!Exists(path)) return 0;
  const Bytes bytes = ReadFileBytes(path);
  return static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
}

bool IsFinal(const std::string& label) {
  return label != "sharing violation" && label != "timed out" && label != "unexpected" && label != "scan err";
}

// A report line as Shelfscan writes it, for a file named by text.
std::string Entry(const std::string& path, const std::string& label, const std::string& exit,
                  const std::string& rest = ",\"backup\":null") {
  return "{\"path\":\"" + path + "\",\"label\":\"" + label + "\",\"exit\":" + exit + rest + ",\"seconds\":0.001}\n";
}

TEST_F(ShelfscanRun, ACampaignStoppedThreeTimesAndResumedRepairsEveryFileExactlyOnce) {
  samples::WorkbookKind kind;
  kind.moved = {12};
  const Bytes damaged = samples::MakeWorkbook(kind);
  const std::string root = Folder("r");
  std::vector<std::string> files;
  for (int folder = 0; folder < 10; ++folder) {
    Folder("r/" + std::to_string(folder));
    for (int i = 0; i < 100; ++i) {
      files.push_back(File("r/" + std::to_string(folder) + "/" + std::to_string(i) + ".xls", damaged));
    }
  }
  const std::string report = Path("report.jsonl");
  const std::string console = Path("console");
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  unsigned long fixedInSummaries = 0;
  std::size_t finalBefore = 0;
  for (int run = 0; run < 4; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const bool stopped = run < 3;
    const auto [option, logs] = LogFolder();
    const std::size_t before = LineCount(report);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const int out = ::open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
      const std::string reportOption = "-report:" + report;
      if (run == 0) {
        ::execl(SHELFSCAN_EXE, SHELFSCAN_EXE, "-fix", "-jobs:2", reportOption.c_str(), option.c_str(), root.c_str(), nullptr);
      } else {
        ::execl(SHELFSCAN_EXE, SHELFSCAN_EXE, "-fix", "-jobs:2", "-resume", reportOption.c_str(), option.c_str(),
                root.c_str(), nullptr);
      }
      ::_exit(127);
    }
    if (stopped) {
      // A random moment: once 1 to 150 more files are in the report.
      const std::size_t target = before + 1 + random() % 150;
      for (int waited = 0; LineCount(report) < target && waited < 60000; ++waited) ::usleep(1000);
      ASSERT_EQ(::kill(pid, SIGTERM), 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (stopped) {
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "the scan ended before the stop";
    } else {
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    const ScanConsole shown = SplitAtSummary(ReadText(console));
    ASSERT_TRUE(shown.summary.found) << ReadText(console);
    EXPECT_EQ(shown.problems, std::vector<std::string>{});
    EXPECT_EQ(shown.summary.passedOverAsDone, finalBefore);
    EXPECT_EQ(shown.summary.files, LineCount(report) - before) << "one entry for each file run";
    EXPECT_EQ(LogLines(MainLog(logs)).size(), shown.summary.files);
    for (const auto& [label, n] : shown.summary.labels) {
      EXPECT_EQ(label, "[fixed]");
      fixedInSummaries += n;
    }
    finalBefore = 0;
    for (const auto& entry : ReportEntries(report)) finalBefore += IsFinal(entry.at("label").text) ? 1 : 0;
  }
  EXPECT_EQ(fixedInSummaries, files.size()) << "the runs together fixed each file once";

  std::map<std::string, int> finals;
  for (const auto& entry : ReportEntries(report)) {
    const std::string path = PathOf(entry, "path");
    if (!IsFinal(entry.at("label").text)) continue;
    ++finals[path];
    EXPECT_EQ(entry.at("label").text, "fixed") << path;
    EXPECT_EQ(PathOf(entry, "backup"), path + ".bak");
    if (entry.count("sha256") != 0) {
      EXPECT_EQ(entry.at("sha256").text, Sha256Hex(ReadFileBytes(path))) << path;
      EXPECT_EQ(entry.at("backup_sha256").text, Sha256Hex(damaged)) << path;
      EXPECT_EQ(PathOf(entry, "root"), root);
    }
  }
  EXPECT_EQ(finals.size(), files.size());
  for (const std::string& file : files) {
    EXPECT_EQ(finals[file], 1) << file;
    EXPECT_NE(ReadFileBytes(file), damaged) << file;
    EXPECT_EQ(ReadFileBytes(file + ".bak"), damaged) << file;
    EXPECT_FALSE(Exists(file + ".bak001")) << file << " was repaired twice";
  }
}

// Writes all three result lines, as a repair that proves what it left, and
// ends with 1; in check mode (no -result:) it writes none.
const char kProvingStandIn[] =
    "#!/bin/sh\n"
    "printf '%s\\0' \"$#\" \"$@\" >> \"$RECORD\"\n" RESULT_CHANNEL_OF_ARGUMENTS
    "for last; do :; done\n"
    "hex=$(printf '%s' \"$last.bak\" | od -An -tx1 -v | tr -d ' \\n')\n"
    "[ -n \"$result\" ] && printf 'BMR1 - %s\\nBMR1 = %s 4096 1798761599999999999 %s\\nBMR1 1 %s\\n' \"$hex\" "
    "\"$(printf 'a%.0s' $(seq 64))\" \"$(printf 'b%.0s' $(seq 64))\" \"$hex\" > /proc/$$/fd/$result\n"
    "exit 1\n";

TEST_F(ShelfscanRun, AFixReportHoldsWhatEachRepairLeftAndItsUndoHandsThatBack) {
  const std::string program = Install(kProvingStandIn);
  const std::string root = Folder("r");
  const std::string file = File("r/a.xls");
  const std::string fixReport = Path("fix.jsonl");
  const std::string checkReport = Path("check.jsonl");
  const auto [option, logs] = LogFolder();
  ASSERT_EQ(Scan({"-fix", "-report:" + fixReport, option, root}, {}, program).exitCode, 0);
  ASSERT_EQ(Scan({"-check", "-report:" + checkReport, option, root}, {}, program).exitCode, 0);
  const std::string a(64, 'a'), b(64, 'b');
  EXPECT_EQ(ReadText(fixReport).substr(0, ReadText(fixReport).find(",\"seconds\":")),
            "{\"path\":\"" + file + "\",\"label\":\"fixed\",\"exit\":1,\"backup\":\"" + file + ".bak\",\"root\":\"" +
                root + "\",\"sha256\":\"" + a + "\",\"size\":4096,\"mtime\":\"2026-12-31T23:59:59.999999999Z\","
                "\"backup_sha256\":\"" + b + "\"");
  EXPECT_EQ(ReadText(checkReport).substr(0, ReadText(checkReport).find(",\"seconds\":")),
            "{\"path\":\"" + file + "\",\"label\":\"fixable\",\"exit\":1,\"backup\":null")
      << "no proof without a repair";

  ::unlink(Path("record").c_str());
  const auto [undoOption, undoLogs] = LogFolder();
  Scan({"-undo:" + fixReport, undoOption}, {}, program);
  EXPECT_EQ(Calls(Path("record"), true),
            (std::vector<std::vector<std::string>>{{"-undo", "-beneath:" + root, "-backup:" + file + ".bak",
                                                    "-proof:" + a + ":4096:" + b, file}}));
  // A report that cannot be read is refused before anything runs.
  File("bad.jsonl", Text(ReadText(fixReport) + "{}\n"));
  ::unlink(Path("record").c_str());
  const ProcessResult bad = Scan({"-undo:" + Path("bad.jsonl"), undoOption}, {}, program);
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_TRUE(Contains(bad.output, "Cannot undo the report: line 2 is no entry")) << bad.output;
  EXPECT_TRUE(Calls(Path("record")).empty());
}

TEST_F(ShelfscanRun, ResumeGoesOnWithAReportOfItsModeAndRefusesAnyOther) {
  const std::string program = Install();
  const std::string root = Folder("r");
  for (const char* name : {"code-0.xls", "code-1.xls", "code-53.xls"}) File(std::string("r/") + name);
  const std::string other = Path("other.jsonl");
  WriteFileBytes(other, {});
  ASSERT_EQ(::chown(other.c_str(), kNobody, kNobody), 0);
  struct Case {
    const char* what;
    std::string mode;
    std::string content;  // the report's lines; the report is a link or another user's without
    std::string reason;
  };
  const std::string ok = Entry(root + "/code-0.xls", "ok", "0");
  const std::vector<Case> cases = {
      {"fixable, fixing", "-fix", ok + Entry(root + "/code-1.xls", "fixable", "1"), "an entry is labelled fixable"},
      {"fixed, checking", "-check", Entry(root + "/code-1.xls", "fixed", "1"), "an entry is labelled fixed"},
      {"restored, fixing", "-fix", Entry(root + "/code-1.xls", "restored", "5"), "an entry is labelled restored"},
      {"malformed", "-check", ok + "{\"path\":\"" + root + "/code-1.xls\"}\n", "line 2 is no entry"},
      {"cut short", "-check", ok + ok.substr(0, 20), "line 2 has no line end"},
      {"a link", "-check", "link", "It is a symbolic link."},
      {"another user's", "-check", "other", "It belongs to another user."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string report = Path(std::string("report-") + c.what);
    if (c.content == "link") {
      WriteFileBytes(Path("target"), Text(ok));
      Link(report.substr(dir_.path().size() + 1), Path("target"));
    } else if (c.content == "other") {
      ASSERT_EQ(::rename(other.c_str(), report.c_str()), 0);
    } else {
      File(report.substr(dir_.path().size() + 1), Text(c.content));
    }
    const Bytes before = ReadFileBytes(report);
    const auto [option, logs] = LogFolder();
    const ProcessResult r = Scan({c.mode, "-resume", "-report:" + report, option, root}, {}, program);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.output, "[scan err]," + report + ",Cannot ")) << r.output;
    EXPECT_TRUE(Contains(r.output, c.reason)) << r.output;
    EXPECT_EQ(ReadFileBytes(report), before);
    EXPECT_TRUE(Calls(Path("record")).empty()) << "no file was run";
  }

  // Its own mode: the file with a final outcome is passed over, the one in
  // use and the one not yet run are run, and their entries appended.
  const std::string report = Path("report.jsonl");
  const std::string earlier = ok + Entry(root + "/code-53.xls", "sharing violation", "53");
  File("report.jsonl", Text(earlier));
  const auto [option, logs] = LogFolder();
  const ProcessResult r = Scan({"-resume", "-report:" + report, option, root}, {}, program);
  EXPECT_EQ(r.exitCode, 0);
  const ScanConsole shown = SplitAtSummary(r.output);
  EXPECT_EQ(shown.summary.passedOverAsDone, 1u);
  EXPECT_EQ(shown.summary.labels, (LabelCounts{{"[fixable]", 1}, {"[sharing violation]", 1}}));
  EXPECT_EQ(Sorted(LogLines(MainLog(logs))),
            Sorted({"[fixable]," + root + "/code-1.xls", "[sharing violation]," + root + "/code-53.xls"}));
  EXPECT_EQ(Calls(Path("record")).size(), 2u);
  const std::string now = ReadText(report);
  EXPECT_EQ(now.substr(0, earlier.size()), earlier);
  EXPECT_EQ(LineCount(report), 4u);
}

TEST_F(ShelfscanRun, UndoRunsBookmendersUndoForEachProvenRepairOfTheReport) {
  const std::string program = Install();
  const std::string root = Folder("r");
  const std::string digest(64, 'c');
  const std::string backupDigest(64, '7');
  const auto proven = [&](const std::string& name) {
    return Entry(root + "/" + name, "fixed", "1",
                 ",\"backup\":\"" + root + "/" + name + ".bak\",\"root\":\"" + root + "\",\"sha256\":\"" + digest +
                     "\",\"size\":4096,\"mtime\":\"2026-12-07T02:05:33.123456789Z\",\"backup_sha256\":\"" +
                     backupDigest + "\"");
  };
  const std::string report = Path("fix.jsonl");
  File("fix.jsonl", Text(proven("code-5.xls") + Entry(root + "/code-0.xls", "ok", "0") + proven("code-58.xls") +
                         Entry(root + "/code-1.xls", "fixed", "1", ",\"backup\":\"" + root + "/code-1.xls.bak\"")));

  // No search paths, no mode.
  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"-undo:" + report, root},
                                                std::vector<std::string>{"-fix", "-undo:" + report},
                                                std::vector<std::string>{"-undo:" + report, "-files:-"}}) {
    const auto [option, logs] = LogFolder();
    std::vector<std::string> arguments = wrong;
    arguments.push_back(option);
    const ProcessResult r = Scan(arguments, {}, program);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.output, "-undo:REPORT takes")) << r.output;
    EXPECT_FALSE(Exists(logs));
  }

  const std::string undoReport = Path("undo.jsonl");
  const auto [option, logs] = LogFolder();
  const ProcessResult r = Scan({"-undo:" + report, "-report:" + undoReport, option}, {}, program);
  EXPECT_EQ(r.exitCode, 0);
  const std::string cannot = "[scan err]," + root +
                             "/code-1.xls,The report holds no proof of what the repair left (its backup, root, "
                             "sha256, size and backup_sha256): the repair cannot be undone.";
  EXPECT_EQ(Sorted(LogLines(MainLog(logs))),
            Sorted({"[restored]," + root + "/code-5.xls", "[changed since repair]," + root + "/code-58.xls", cannot}));
  EXPECT_EQ(SplitAtSummary(r.output).summary.labels,
            (LabelCounts{{"[restored]", 1}, {"[changed since repair]", 1}, {"[scan err]", 1}}));
  const std::string proof = "-proof:" + digest + ":4096:" + backupDigest;
  EXPECT_EQ(Calls(Path("record"), true),
            (std::vector<std::vector<std::string>>{
                {"-undo", "-beneath:" + root, "-backup:" + root + "/code-5.xls.bak", proof, root + "/code-5.xls"},
                {"-undo", "-beneath:" + root, "-backup:" + root + "/code-58.xls.bak", proof, root + "/code-58.xls"}}));
  std::map<std::string, std::string> labels;
  for (const auto& entry : ReportEntries(undoReport)) labels[PathOf(entry, "path")] = entry.at("label").text;
  EXPECT_EQ(labels, (std::map<std::string, std::string>{{root + "/code-5.xls", "restored"},
                                                        {root + "/code-58.xls", "changed since repair"},
                                                        {root + "/code-1.xls", "scan err"}}));
}

TEST_F(ShelfscanRun, UndoWithTheRealBookmenderRestoresOnlyWhatTheRepairLeftAndASecondChangesNothing) {
  samples::WorkbookKind kind;
  kind.moved = {12};
  const Bytes damaged = samples::MakeWorkbook(kind);
  const std::string root = Folder("r");
  const std::vector<std::string> names = {"changed", "swapped", "no backup", "held", "kept1", "kept2"};
  std::map<std::string, std::string> file;
  for (const std::string& name : names) file[name] = File("r/" + name + ".xls", damaged);
  const std::string fixReport = Path("fix.jsonl");
  const auto [fixOption, fixLogs] = LogFolder();
  ASSERT_EQ(Scan({"-fix", "-report:" + fixReport, fixOption, root}).exitCode, 0);
  for (const auto& entry : ReportEntries(fixReport)) ASSERT_EQ(entry.count("sha256"), 1u) << "a repair without its proof";

  // Another user's doings: a changed file, a file swapped for a link to a
  // copy of itself, a backup removed, a file held open for writing.
  ASSERT_EQ(::chown(file["changed"].c_str(), kNobody, kNobody), 0);
  {
    ProcessOptions asNobody;
    asNobody.uid = kNobody;
    ASSERT_EQ(RunProcess({"/bin/sh", "-c", "printf x >> \"$0\"", file["changed"]}, asNobody).exitCode, 0);
  }
  const Bytes changed = ReadFileBytes(file["changed"]);
  const Bytes repaired = ReadFileBytes(file["kept1"]);
  WriteFileBytes(Path("copy.xls"), repaired);
  ASSERT_EQ(::unlink(file["swapped"].c_str()), 0);
  Link("r/swapped.xls", Path("copy.xls"));
  ASSERT_EQ(::unlink((file["no backup"] + ".bak").c_str()), 0);
  struct stat before {};
  ASSERT_EQ(::stat(file["kept1"].c_str(), &before), 0);
  struct stat backupBefore {};
  ASSERT_EQ(::stat((file["kept1"] + ".bak").c_str(), &backupBefore), 0);

  const std::map<std::string, std::string> expected = {
      {"changed", "changed since repair"}, {"swapped", "file not found"}, {"no backup", "backup missing"},
      {"held", "sharing violation"},       {"kept1", "restored"},         {"kept2", "restored"}};
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "first undo" : "second undo");
    LockHolder holder(file["held"], 'w');
    ASSERT_TRUE(holder.held());
    const std::string undoReport = Path("undo" + std::to_string(round) + ".jsonl");
    const auto [option, logs] = LogFolder();
    const ProcessResult r = Scan({"-undo:" + fixReport, "-jobs:2", "-report:" + undoReport, option});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::map<std::string, std::string> labels;
    for (const auto& entry : ReportEntries(undoReport)) labels[PathOf(entry, "path")] = entry.at("label").text;
    for (const std::string& name : names) EXPECT_EQ(labels[file[name]], expected.at(name)) << name;
    EXPECT_EQ(ReadFileBytes(file["changed"]), changed);
    EXPECT_EQ(ReadFileBytes(Path("copy.xls")), repaired) << "nothing written through the link";
    EXPECT_EQ(ReadFileBytes(file["held"]), repaired);
    EXPECT_EQ(ReadFileBytes(file["no backup"]), repaired);
    for (const char* kept : {"kept1", "kept2"}) {
      EXPECT_EQ(ReadFileBytes(file[kept]), damaged) << kept;
      EXPECT_EQ(ReadFileBytes(file[kept] + ".bak"), damaged) << kept << ": the backup is kept";
    }
    struct stat after {};
    ASSERT_EQ(::stat(file["kept1"].c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_mtim.tv_sec, backupBefore.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, backupBefore.st_mtim.tv_nsec);
  }
}

}  // namespace
