// The built Shelfscan with the real Bookmender beside it: the detail log,
// escape sequences in names, real results and their labels, a stop request,
// and repairs of damaged copies of real workbooks.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>

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

}  // namespace
