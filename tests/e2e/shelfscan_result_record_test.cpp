// Shelfscan learns a backup's name from the result records alone: a stand-in
// that only prints Bookmender's sentence names none, and a record that is
// malformed or disagrees with the exit code is no record. A run killed after
// its backup was made still names it by the line written then.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "process.h"
#include "shelfscan_run.h"

namespace shelfscantest {
namespace {

// Ends with 1 for every file; writes for each what its name asks.
const char kRecorder[] =
    "#!/bin/sh\n"
    RESULT_CHANNEL_OF_ARGUMENTS
    "for last; do :; done\n"
    "echo \"Backup copy successfully created: $last.bak\"\n"
    "case \"${last##*/}\" in\n"
    "  record.xls) record 1 \"$last.bak\" ;;\n"
    "  other-code.xls) record 0 \"$last.bak\" ;;\n"
    "  upper.xls) printf 'BMR1 1 2F\\n' > /proc/$$/fd/$result ;;\n"
    "  twice.xls) record 1 \"$last.bak\"; record 1 \"$last.bak\" ;;\n"
    "  both.xls) record - \"$last.bak\"; record 1 \"$last.bak\" ;;\n"
    "  killed.xls) record - \"$last.bak\"; kill -KILL $$ ;;\n"
    "  first-only.xls) record - \"$last.bak\" ;;\n"
    "  two-names.xls) record - \"$last.bak\"; record 1 \"$last.bak2\" ;;\n"
    "esac\n"
    "exit 1\n";

TEST_F(ShelfscanRun, OnlyAWellFormedRecordForTheExitCodeNamesTheBackup) {
  const std::string program = Install(kRecorder);
  const std::string root = Folder("r");
  struct Case {
    const char* name;
    const char* label;
    bool named;
  };
  const Case cases[] = {
      {"record.xls", "fixed", true},         {"sentence-only.xls", "fixed", false},
      {"other-code.xls", "fixed", false},    {"upper.xls", "fixed", false},
      {"twice.xls", "fixed", false},         {"both.xls", "fixed", true},
      {"killed.xls", "scan err", true},      {"first-only.xls", "fixed", false},
      {"two-names.xls", "fixed", false},
  };
  for (const Case& c : cases) File(std::string("r/") + c.name);
  const std::string report = Path("report.jsonl");
  for (const std::string jobs : {"-jobs:1", "-jobs:2"}) {
    SCOPED_TRACE(jobs);
    const auto [option, folder] = LogFolder();
    ::unlink(report.c_str());
    Scan({"-fix", jobs, "-report:" + report, option, root}, {}, program);
    const auto entries = ReportEntries(report);
    EXPECT_EQ(entries.size(), std::size(cases));
    for (const Case& c : cases) {
      const std::string path = root + "/" + c.name;
      const auto entry = std::find_if(entries.begin(), entries.end(),
                                      [&path](const auto& e) { return PathOf(e, "path") == path; });
      ASSERT_NE(entry, entries.end()) << path;
      EXPECT_EQ(PathOf(*entry, "label"), c.label) << path;
      EXPECT_EQ(PathOf(*entry, "backup"), c.named ? path + ".bak" : "") << path;
    }
  }
}

}  // namespace
}  // namespace shelfscantest
