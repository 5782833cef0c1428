// Resident Bookmenders against a process of their own per file: the same
// tree gives the same logs, detail log, report and files either way; a
// worker that crashes, is killed from outside, hangs past the time limit or
// runs out of address space costs only the file it was serving.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "charted_workbook.h"
#include "process.h"
#include "samples.h"
#include "shelfscan_run.h"

namespace shelfscantest {
namespace {

// Every regular file below `root` with its bytes.
void Snapshot(const std::string& root, std::map<std::string, Bytes>& files) {
  for (const std::string& name : Entries(root)) {
    const std::string path = root + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) Snapshot(path, files);
    if (S_ISREG(st.st_mode)) files[path] = ReadFileBytes(path);
  }
}

// Puts the tree back as `files` had it, backups gone.
void Restore(const std::string& root, const std::map<std::string, Bytes>& files) {
  std::map<std::string, Bytes> now;
  Snapshot(root, now);
  for (const auto& entry : now) {
    if (files.count(entry.first) == 0) ::unlink(entry.first.c_str());
  }
  for (const auto& [path, bytes] : files) WriteFileBytes(path, bytes);
}

// The text's lines, sorted when the runs came in the order they ended.
std::vector<std::string> LinesOf(const std::string& text, bool sorted) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  if (sorted) std::sort(lines.begin(), lines.end());
  return lines;
}

// The detail log's runs, each from its first rule of dashes.
std::vector<std::string> RunsOf(const std::string& detail, bool sorted) {
  const std::string rule = std::string(80, '-') + "\n";
  std::vector<std::string> runs;
  for (std::size_t at = 0; at < detail.size();) {
    std::size_t next = detail.find(rule, at + 1);
    // Every run's banner has two rules; its next run starts at the third.
    if (next != std::string::npos) next = detail.find(rule, next + 1);
    if (next == std::string::npos) next = detail.size();
    runs.push_back(detail.substr(at, next - at));
    at = next;
  }
  if (sorted) std::sort(runs.begin(), runs.end());
  return runs;
}

struct ScanSeen {
  std::string console;
  std::vector<std::string> log;
  std::vector<std::string> detail;
  std::vector<std::string> report;
  std::map<std::string, Bytes> files;
};

TEST_F(ShelfscanRun, ResidentRunsLogReportAndRepairAsRunsOfTheirOwn) {
  const std::string program = Install("real");
  const std::string root = Folder("share");
  samples::WriteSampleFolder(root);
  std::map<std::string, Bytes> pristine;
  Snapshot(root, pristine);
  const std::string report = Path("report.jsonl");
  // What differs from run to run: the time a run took, a repair's time on
  // the file, and the scan's own time.
  const std::regex seconds(",\"seconds\":[0-9.]+");
  const std::regex mtime(",\"mtime\":\"[^\"]*\"");
  const std::regex took(" checked in [0-9.]+ s");
  for (const std::string mode : {"-check", "-fix"}) {
    for (const std::string jobs : {"-jobs:1", "-jobs:4"}) {
      SCOPED_TRACE(mode + " " + jobs);
      const bool sorted = jobs != "-jobs:1";
      std::vector<ScanSeen> seen;
      for (const bool perFile : {false, true}) {
        Restore(root, pristine);
        ::unlink(report.c_str());
        const auto [option, folder] = LogFolder();
        std::vector<std::string> arguments{mode, jobs, "-detail", "-report:" + report, option, root};
        if (perFile) arguments.push_back("-perfile");
        const ProcessResult r = Scan(arguments, {}, program);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        ScanSeen s;
        s.console = std::regex_replace(r.output, took, "");
        s.log = LogLines(MainLog(folder));
        if (sorted) std::sort(s.log.begin(), s.log.end());
        std::string detail;
        for (const std::string& name : Entries(folder)) {
          if (Contains(name, "_detail")) detail = ReadText(folder + "/" + name);
        }
        EXPECT_FALSE(detail.empty());
        s.detail = RunsOf(detail, sorted);
        s.report = LinesOf(std::regex_replace(std::regex_replace(ReadText(report), seconds, ""), mtime, ""), sorted);
        Snapshot(root, s.files);
        seen.push_back(std::move(s));
      }
      EXPECT_EQ(seen[0].console, seen[1].console);
      EXPECT_EQ(seen[0].log, seen[1].log);
      EXPECT_EQ(seen[0].detail, seen[1].detail);
      EXPECT_EQ(seen[0].report, seen[1].report);
      EXPECT_EQ(seen[0].files, seen[1].files) << "the same repairs and backups";
      EXPECT_GT(seen[0].report.size(), 5u);
    }
  }
}

// Ends as the file's name asks: abort-*.xls by SIGABRT, as a crash;
// killed-*.xls has the resident Bookmender serving it killed from outside;
// hang-*.xls waits past any time limit; anything else ends with 0.
const char kTroubled[] =
    "#!/bin/sh\n"
    "for last; do :; done\n"
    "echo \"out $last\"\n"
    "case \"${last##*/}\" in\n"
    "  abort-*) kill -ABRT $$ ;;\n"
    "  killed-*) [ \"$(cat /proc/$PPID/comm)\" = Bookmender ] && kill -KILL $PPID; sleep 1 ;;\n"
    "  hang-*) exec sleep 60 ;;\n"
    "esac\n"
    "exit 0\n";

TEST_F(ShelfscanRun, AResidentThatCrashesIsKilledOrHangsCostsOnlyItsFile) {
  const std::string program = Install(kTroubled);
  const std::string root = Folder("r");
  const std::vector<std::string> names = {"a.xls", "abort-1.xls", "b.xls", "killed-1.xls", "c.xls",
                                          "hang-1.xls",  "d.xls",       "abort-2.xls", "e.xls"};
  for (const std::string& name : names) File("r/" + name);
  const std::map<std::string, std::string> expected = {
      {"abort-1.xls", "[scan err],R,Failed to launch Bookmender (error code -6)"},
      {"abort-2.xls", "[scan err],R,Failed to launch Bookmender (error code -6)"},
      {"killed-1.xls", "[scan err],R,Failed to launch Bookmender (error code -9)"},
      {"hang-1.xls", "[timed out],R"},
  };
  for (const std::string jobs : {"-jobs:1", "-jobs:2"}) {
    SCOPED_TRACE(jobs);
    const auto [option, folder] = LogFolder();
    const ProcessResult r = Scan({"-check", jobs, "-timeout:1", "-detail", option, root}, {}, program);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::vector<std::string> want;
    for (const std::string& name : names) {
      const std::string path = root + "/" + name;
      const auto special = expected.find(name);
      want.push_back(special == expected.end() ? "[ok]," + path
                                               : std::regex_replace(special->second, std::regex(",R"), "," + path));
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(Sorted(LogLines(MainLog(folder))), want);
    // Every file's own output, the troubled ones' too, in one piece each.
    std::string detail;
    for (const std::string& name : Entries(folder)) {
      if (Contains(name, "_detail")) detail = ReadText(folder + "/" + name);
    }
    std::vector<std::string> outputs;
    for (const std::string& name : names) outputs.push_back("out " + root + "/" + name);
    std::sort(outputs.begin(), outputs.end());
    EXPECT_EQ(LinesOf(detail, true), outputs);
  }
}

// The real Bookmender under an address-space limit: the one workbook whose
// index needs more gets its malformed line, and the same resident Bookmender
// goes on with the others; nothing is left in the temporary folder.
TEST_F(ShelfscanRun, AResidentOutOfMemoryCostsOnlyItsFile) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit allows";
#endif
  const std::string program = Install("real");
  const std::string root = Folder("r");
  const Bytes damaged = DamagedWorkbookFile(100);
  // A sheet of 15 Mi empty records: its index alone is past the limit.
  testsupport::BiffBuilder b;
  b.bof();
  b.eof();
  b.bof();
  Bytes stream = b.bytes();
  const std::size_t records = 15u << 20;
  stream.reserve(stream.size() + 4 * records + 4);
  for (std::size_t i = 0; i < records; ++i) stream.insert(stream.end(), {0x01, 0x02, 0x00, 0x00});
  testsupport::BiffBuilder end;
  end.eof();
  stream.insert(stream.end(), end.bytes().begin(), end.bytes().end());
  testsupport::WorkbookFileOptions tagged;
  tagged.tagProperty = u"TMTAG";
  const std::vector<std::string> books = {File("r/a.xls", damaged), File("r/huge.xls", BuildWorkbookFile(stream, tagged)),
                                          File("r/z.xls", damaged)};
  const std::string tmp = Folder("tmp", 0700);
  ProcessOptions options;
  options.addressSpaceLimit = 64ll << 20;
  options.environment = {"TMPDIR=" + tmp};
  for (const std::string jobs : {"-jobs:1", "-jobs:2"}) {
    SCOPED_TRACE(jobs);
    const auto [option, folder] = LogFolder();
    const ProcessResult r = Scan({"-check", jobs, option, root}, options, program);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(Sorted(LogLines(MainLog(folder))),
              (std::vector<std::string>{"[broken]," + books[1], "[fixable]," + books[0], "[fixable]," + books[2]}));
    EXPECT_TRUE(Entries(tmp).empty());
  }
}

}  // namespace
}  // namespace shelfscantest
