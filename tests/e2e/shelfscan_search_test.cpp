// The built Shelfscan's walk over its roots: the files it selects and their
// order, missing roots, links, loops, unreadable folders and folders removed
// during the walk.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <map>

#include "process.h"
#include "samples.h"
#include "scan_console.h"
#include "shelfscan_run.h"
#include "shelfscan_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace shelfscantest;

namespace {

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

}  // namespace
