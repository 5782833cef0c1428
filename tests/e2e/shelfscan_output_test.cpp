// What the built Shelfscan writes besides its logs: the report, the progress
// line on a terminal and the summary at the end of standard output.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <set>
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

// --- The report, the progress line and the summary ---

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

}  // namespace
