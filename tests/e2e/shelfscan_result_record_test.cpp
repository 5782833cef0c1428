// Shelfscan learns a backup's name from the result record alone: a stand-in
// that only prints Bookmender's sentence names none, and a record that is
// malformed or disagrees with the exit code is no record.
#include <gtest/gtest.h>

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
    "esac\n"
    "exit 1\n";

TEST_F(ShelfscanRun, OnlyAWellFormedRecordForTheExitCodeNamesTheBackup) {
  const std::string program = Install(kRecorder);
  const std::string root = Folder("r");
  const std::string named = File("r/record.xls");
  for (const char* name : {"sentence-only.xls", "other-code.xls", "upper.xls", "twice.xls"}) File(std::string("r/") + name);
  const std::string report = Path("report.jsonl");
  for (const std::string jobs : {"-jobs:1", "-jobs:2"}) {
    SCOPED_TRACE(jobs);
    const auto [option, folder] = LogFolder();
    ::unlink(report.c_str());
    const ProcessResult r = Scan({"-fix", jobs, "-report:" + report, option, root}, {}, program);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const auto entries = ReportEntries(report);
    EXPECT_EQ(entries.size(), 5u);
    for (const auto& entry : entries) {
      const std::string path = PathOf(entry, "path");
      EXPECT_EQ(PathOf(entry, "label"), "fixed") << path;
      EXPECT_EQ(PathOf(entry, "backup"), path == named ? named + ".bak" : "") << path;
    }
  }
}

}  // namespace
}  // namespace shelfscantest
