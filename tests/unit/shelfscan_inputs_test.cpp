// Shelfscan's inputs against the file system: file lists read through the
// platform's input file (folders, missing names, a closed standard input, a
// stop request while a pipe stays silent) and the walk's count of files
// passed over for their extension's letter case.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FileList.h"
#include "MainLog.h"
#include "ScanOptions.h"
#include "Runs.h"
#include "ScanContext.h"
#include "Walk.h"
#include "platform/input_file.h"
#include "platform/termination.h"
#include "platform/text.h"
#include "workbook_file.h"

namespace {

using platform::Win32Error;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

std::wstring W(const std::string& bytes) { return platform::DecodeNative(bytes); }

// Every entry of the list at `path` with the reading's outcome.
std::vector<std::string> ReadAll(shelfscan::FileList& list, bool& failed) {
  std::vector<std::string> names;
  shelfscan::ListEntry entry;
  Win32Error error = 0;
  while (list.next(entry, failed, error)) names.push_back(entry.bytes);
  return names;
}

TEST(ShelfscanListInput, ListsThatCannotBeReadSayWhyAndOthersReadToTheirEnd) {
  TempDir dir;
  Win32Error error = 0;
  platform::InputFile input;
  EXPECT_FALSE(input.open(W(dir.path()), error));
  EXPECT_EQ(error, platform::kErrorAccessDenied);
  EXPECT_EQ(shelfscan::ListReadProblem(W(dir.path()), error), L"It is a folder.");
  EXPECT_FALSE(input.open(W(dir.file("missing")), error));
  EXPECT_EQ(error, platform::kErrorFileNotFound);
  EXPECT_EQ(shelfscan::ListReadProblem(W(dir.file("missing")), error), L"The system cannot find the file specified.");
  EXPECT_FALSE(input.open(W(dir.file("missing/list")), error));
  EXPECT_EQ(error, platform::kErrorPathNotFound);
  EXPECT_EQ(shelfscan::ListReadProblem(L"", platform::kErrorFileNotFound), L"No file list is named.");

  // A list longer than one read, with a name that is no UTF-8, comes back
  // byte for byte.
  std::string bytes;
  std::vector<std::string> expected;
  for (int i = 0; i < 5000; ++i) {
    expected.push_back("folder/\xFF\xFE name " + std::to_string(i) + ".xls");
    bytes += expected.back() + (i % 2 ? "\n" : "\r\n");
  }
  const std::string path = dir.file("list");
  WriteFileBytes(path, testsupport::Bytes(bytes.begin(), bytes.end()));
  shelfscan::FileList list(W(path), false);
  ASSERT_TRUE(list.open(error));
  bool failed = true;
  EXPECT_EQ(ReadAll(list, failed), expected);
  EXPECT_FALSE(failed);
}

// Runs `body` in a child process and returns its exit code (or 100 + the
// signal that ended it).
template <typename Body>
int InChild(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(20);  // a read that never returns fails the test instead of hanging it
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(ShelfscanListInput, StandardInputIsReadAsAPipeAndAClosedOneCannotBeOpened) {
  EXPECT_EQ(InChild([] {
              ::close(STDIN_FILENO);
              platform::InputFile input;
              Win32Error error = 0;
              if (input.openStandardInput(error)) return 1;
              return error == platform::kErrorInvalidHandle ? 0 : 2;
            }),
            0);

  // NUL-separated names from a pipe, written in small pieces by another
  // process; the list ends when the writer goes.
  EXPECT_EQ(InChild([] {
              int pipe[2];
              if (::pipe(pipe) != 0 || ::dup2(pipe[0], STDIN_FILENO) < 0) return 1;
              ::close(pipe[0]);
              if (::fork() == 0) {
                const std::string pieces[] = {"a", ".xls", std::string("\0b\nc", 4), std::string("\0b\nc\0", 5)};
                for (const std::string& piece : pieces) {
                  if (::write(pipe[1], piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) ::_exit(1);
                  ::usleep(20000);
                }
                ::_exit(0);
              }
              ::close(pipe[1]);
              shelfscan::FileList list(L"-", true);
              Win32Error error = 0;
              if (!list.open(error)) return 2;
              bool failed = false;
              const std::vector<std::string> names = ReadAll(list, failed);
              return !failed && names == std::vector<std::string>{"a.xls", "b\nc", "b\nc"} ? 0 : 3;
            }),
            0);
}

TEST(ShelfscanListInput, AStopRequestEndsTheWaitForAListThatDoesNotCome) {
  // The writer stays but writes nothing, as a terminal does: only the stop
  // request (a real SIGINT from another process) can end the read.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(20);
    int silent[2];
    if (::pipe(silent) != 0 || ::dup2(silent[0], STDIN_FILENO) < 0) ::_exit(1);
    platform::InstallStopRequests();
    platform::InputFile input;
    Win32Error error = 0;
    if (!input.openStandardInput(error) || ::write(ready[1], "r", 1) != 1) ::_exit(2);
    char buffer[16];
    std::size_t done = 99;
    const bool read = input.read(buffer, sizeof buffer, done, error);
    ::_exit(read && done == 0 && platform::StopRequested() ? 0 : 3);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::usleep(50000);  // most likely inside the wait by now; either way it must end
  ASSERT_EQ(::kill(pid, SIGINT), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ShelfscanCaseCount, TheWalkCountsFilesPassedOverOnlyForTheirExtensionsCase) {
  TempDir dir;
  const std::string root = dir.file("r");
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root + "/F.XLS").c_str(), 0755), 0);  // a folder, entered
  ASSERT_EQ(::mkdir((root + "/.snapshot").c_str(), 0755), 0);
  // Counted: REPORT.XLS, b.Xls, sub/c.xLs, h.xls.XLS, F.XLS/in.XLS.
  for (const char* name : {"REPORT.XLS", "b.Xls", "sub/c.xLs", "h.xls.XLS", "F.XLS/in.XLS",
                           // Not counted: excluded, another extension, a name
                           // in an excluded folder.
                           "~$D.XLS", "g.xlsx", "i.XLSX", "j.XL", ".snapshot/k.XLS"}) {
    WriteFileBytes(root + "/" + name, {'x'});
  }
  ASSERT_EQ(::symlink("REPORT.XLS", (root + "/E.XLS").c_str()), 0);  // a link: skipped with a warning

  shelfscan::ScanOptions options = shelfscan::ParseArguments({W(root), L"-exclude:~$*", L"-exclude:.snapshot"});
  std::vector<shelfscan::FileList> lists;
  const int out = ::dup(STDOUT_FILENO);
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, STDOUT_FILENO);  // the link's warning
  shelfscan::RunSettings settings;
  settings.logPath = W(dir.file("scan.log"));
  std::uint64_t once = 0, twice = 0;
  {
    shelfscan::FileRuns runs(std::make_shared<shelfscan::ScanContext>(settings));
    shelfscan::ScanRoots(options, lists, runs);
    once = runs.filesPassedOverForCase;
  }
  // Twice the same root: counted twice, as its files are met twice.
  options.roots.push_back(options.roots[0]);
  {
    shelfscan::FileRuns runs(std::make_shared<shelfscan::ScanContext>(settings));
    shelfscan::ScanRoots(options, lists, runs);
    twice = runs.filesPassedOverForCase;
  }
  ::dup2(out, STDOUT_FILENO);
  ::close(out);
  ::close(null);
  EXPECT_EQ(once, 5u);
  EXPECT_EQ(twice, 10u);
}

// Two scans in one process at once, each with its own context: every line
// goes to its own scan's log, and each tally counts its own files.
TEST(ScanContext, TwoScansAtOnceShareNothing) {
  TempDir dir;
  struct Scan {
    std::string root;
    std::string log;
    std::uint64_t done = 0;
  };
  std::vector<Scan> scans(2);
  for (std::size_t s = 0; s < scans.size(); ++s) {
    scans[s].root = dir.file("root" + std::to_string(s));
    scans[s].log = dir.file("scan" + std::to_string(s) + ".log");
    ASSERT_EQ(::mkdir(scans[s].root.c_str(), 0755), 0);
    for (std::size_t i = 0; i < 20 + 10 * s; ++i) {
      WriteFileBytes(scans[s].root + "/" + std::to_string(i) + ".xls", {'x'});  // no workbook
    }
  }
  const auto scan = [](Scan& s, int jobs) {
    shelfscan::ScanOptions options = shelfscan::ParseArguments({W(s.root)});
    std::vector<shelfscan::FileList> lists;
    shelfscan::RunSettings settings;
    settings.logPath = W(s.log);
    settings.jobs = jobs;
    const auto context = std::make_shared<shelfscan::ScanContext>(settings);
    shelfscan::FileRuns runs(context);
    shelfscan::ScanRoots(options, lists, runs);
    runs.finish();
    s.done = context->tally.counts().done();
  };
  std::thread first(scan, std::ref(scans[0]), 1);
  std::thread second(scan, std::ref(scans[1]), 2);
  first.join();
  second.join();
  for (std::size_t s = 0; s < scans.size(); ++s) {
    SCOPED_TRACE(scans[s].log);
    const testsupport::Bytes bytes = testsupport::ReadFileBytes(scans[s].log);
    std::size_t lines = 0, ours = 0;
    const std::string text(bytes.begin(), bytes.end());
    std::string ascii;  // the UTF-16LE log's low bytes: the names are ASCII
    for (std::size_t i = 2; i + 1 < text.size(); i += 2) ascii.push_back(text[i]);
    for (std::size_t at = 0; (at = ascii.find('\n', at)) != std::string::npos; ++at) ++lines;
    for (std::size_t at = 0; (at = ascii.find(scans[s].root + "/", at)) != std::string::npos; ++at) ++ours;
    EXPECT_EQ(lines, 20 + 10 * s);
    EXPECT_EQ(ours, lines);
    EXPECT_EQ(scans[s].done, lines);
  }
}

}  // namespace
