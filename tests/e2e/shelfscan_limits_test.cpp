// Shelfscan's time limit for one Bookmender run (-timeout:): a run that
// takes longer is asked to end, then killed, and its file gets a line of its
// own in the log, the report and the summary; the other files go on as
// before. A real fix stopped in the middle leaves the workbook whole and no
// file in the temporary folder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "charted_workbook.h"
#include "process.h"
#include "shelfscan_run.h"
#include "shelfscan_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace shelfscantest;

namespace {

// kStandIn, and hang-*.xls waits (a minute at most); hang-stubborn-*.xls
// also ignores the request to end.
const char kHanger[] =
    "#!/bin/sh\n"
    "printf '%s\\0' \"$#\" \"$@\" >> \"$RECORD\"\n"
    "for last; do :; done; set -- \"$1\" \"$last\"\n"
    "name=${2##*/}\n"
    "case \"$name\" in\n"
    "  code-*) code=${name#code-}; exit \"${code%.xls}\" ;;\n"
    "  hang-stubborn-*) trap '' TERM; i=0; while [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done ;;\n"
    "  hang-*) sleep 60 ;;\n"
    "esac\n"
    "exit 0\n";

class ShelfscanLimits : public ShelfscanRun {};

TEST_F(ShelfscanLimits, ARunPastTheTimeLimitIsEndedAndLabelledAndTheOthersGoOn) {
  const std::string program = Install(kHanger);
  const std::string root = Folder("share");
  const std::string hang = File("share/hang-a.xls");
  const std::string stubborn = File("share/hang-stubborn-b.xls");
  const std::string fine = File("share/code-1.xls");
  struct Case {
    std::vector<std::string> options;
    bool report;
  };
  for (const Case& c : {Case{{}, false}, Case{{"-report:" + Path("r1.jsonl")}, true},
                        Case{{"-jobs:2", "-detail", "-report:" + Path("r2.jsonl")}, true}}) {
    const auto [option, logs] = LogFolder();
    std::vector<std::string> arguments{"-fix", "-timeout:1", option};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    arguments.push_back(root);
    const std::string where = ::testing::PrintToString(arguments);
    const ProcessResult r = Scan(arguments, {}, program);
    EXPECT_EQ(r.exitCode, 0) << where << r.output;
    EXPECT_EQ(Sorted(LogLines(MainLog(logs))), Sorted({"[fixed]," + fine, "[timed out]," + hang,
                                                        "[timed out]," + stubborn}))
        << where;
    EXPECT_TRUE(Contains(r.output, "\n  [timed out] 2\n")) << where << r.output;
    if (!c.report) continue;
    const std::string report = c.options.back().substr(8);
    std::map<std::string, std::string> signals;
    for (const auto& entry : ReportEntries(report)) {
      if (entry.at("label").text != "timed out") continue;
      EXPECT_EQ(entry.at("exit").kind, JsonValue::kNull) << where;
      signals[entry.at("path").text] = std::to_string(static_cast<int>(entry.at("signal").number));
    }
    EXPECT_EQ(signals, (std::map<std::string, std::string>{{hang, "15"}, {stubborn, "9"}})) << where;
  }
}

TEST_F(ShelfscanLimits, ATimeLimitMustBeWholeSeconds) {
  const std::string program = Install(kHanger);
  for (const std::string value : {"", "0", "1.5", "-3", "604801", "x"}) {
    const ProcessResult r = Scan({"-timeout:" + value, Folder("share" + std::to_string(logs_++))}, {}, program);
    EXPECT_EQ(r.exitCode, 1) << value;
    EXPECT_TRUE(StartsWith(r.output, "Invalid parameter -timeout:" + value +
                                         ": -timeout: takes the most seconds one Bookmender run may take, 1 to "
                                         "604800.\n"))
        << r.output;
  }
}

// The real Bookmender, held in the flush of its backup: asked to end, it
// finishes no step half-way, and killed after the grace it leaves the
// workbook as it was, no backup and no file in the temporary folder.
TEST_F(ShelfscanLimits, ARealFixStoppedMidWayLeavesTheWorkbookWhole) {
  const std::string program = Install("real");
  const std::string root = Folder("share");
  const Bytes input = DamagedWorkbookFile(1000);
  const std::string book = File("share/book.xls", input);
  const std::string tmp = Folder("tmp", 0700);
  const auto [option, logs] = LogFolder();
  ProcessOptions options;
  options.environment = {"LD_PRELOAD=" STALL_FSYNC_LIB, "TMPDIR=" + tmp};
  // A sanitized build is told not to mind the library loaded before it.
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                                "verify_asan_link_order=0");
  const ProcessResult r = Scan({"-fix", "-timeout:1", option, root}, options, program);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(LogLines(MainLog(logs)), std::vector<std::string>{"[timed out]," + book});
  EXPECT_EQ(ReadFileBytes(book), input);
  EXPECT_EQ(Entries(root), std::vector<std::string>{"book.xls"}) << "no backup was named";
  EXPECT_TRUE(Entries(tmp).empty());
}

}  // namespace
