// The Bookmender runs the built Shelfscan starts: exit codes and their labels,
// a Bookmender that is missing or cannot start, any file name, and a console
// that nobody reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "process.h"
#include "scan_console.h"
#include "shelfscan_run.h"
#include "shelfscan_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace shelfscantest;

namespace {

// --- The child run ---

TEST_F(ShelfscanRun, ExitCodesBecomeLabelsByMode) {
  const std::string program = Install();
  const std::string root = Folder("r");
  const std::map<int, std::string> labels = {
      {0, "[ok],"},
      {2, "[broken],"},
      {3, "[container problem],"},
      {4, "[password],"},
      {6, "[unexpected],"},
      {49, "[unexpected],"},
      {50, "[bad arguments],"},
      {51, "[file not found],"},
      {52, "[access denied],"},
      {53, "[sharing violation],"},
      {54, "[not BIFF8 workbook],"},
      {55, "[temp copy failed],"},
      {56, "[copy back failed],"},
      {57, "[backup failed],"},
      {62, "[unexpected],"},
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

}  // namespace
