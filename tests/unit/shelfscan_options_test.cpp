// Shelfscan's command line, the main log's name and the detail log's path.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "ChildRun.h"
#include "ScanOptions.h"
#include "platform/text.h"

using shelfscan::ParseArguments;
using shelfscan::ScanOptions;

TEST(ShelfscanOptions, OptionsAreExactCaseSensitiveAndLaterOnesWin) {
  ScanOptions o = ParseArguments({L"-fix", L"-detail", L"root"});
  EXPECT_TRUE(o.fixMode);
  EXPECT_TRUE(o.detailLog);
  EXPECT_EQ(o.roots, std::vector<std::wstring>{L"root"});

  o = ParseArguments({L"-fix", L"a", L"-check"});
  EXPECT_FALSE(o.fixMode);
  o = ParseArguments({L"a", L"-fix"});
  EXPECT_TRUE(o.fixMode) << "options may follow paths";

  // Anything that is not exactly an option is a search path, in order,
  // duplicates kept.
  o = ParseArguments({L"-FIX", L"/fix", L"-fix:", L"-Detail", L"-L:x", L"-check ", L"a", L"a", L""});
  EXPECT_FALSE(o.fixMode);
  EXPECT_FALSE(o.detailLog);
  EXPECT_TRUE(o.logFolder.empty());
  EXPECT_EQ(o.roots, (std::vector<std::wstring>{L"-FIX", L"/fix", L"-fix:", L"-Detail", L"-L:x",
                                                L"-check ", L"a", L"a", L""}));
}

TEST(ShelfscanOptions, LogFolderGetsOneTrailingSeparator) {
  EXPECT_EQ(ParseArguments({L"-l:/var/logs", L"r"}).logFolder, L"/var/logs/");
  EXPECT_EQ(ParseArguments({L"-l:/var/logs/", L"r"}).logFolder, L"/var/logs/");
  EXPECT_EQ(ParseArguments({L"-l:logs", L"r"}).logFolder, L"logs/");
  // The other platform's separator is just a character here.
  EXPECT_EQ(ParseArguments({L"-l:D:\\logs\\", L"r"}).logFolder, L"D:\\logs\\/");
  EXPECT_EQ(ParseArguments({L"-l:", L"r"}).logFolder, L"") << "empty: the default folder is used";
  EXPECT_EQ(ParseArguments({L"-l:first", L"-l:second", L"r"}).logFolder, L"second/");
  EXPECT_EQ(ParseArguments({L"-l:first", L"-l:", L"r"}).logFolder, L"");
  EXPECT_EQ(ParseArguments({L"-l:-fix"}).logFolder, L"-fix/");
}

TEST(ShelfscanOptions, LogFileNameFromLocalDateAndTime) {
  using boost::gregorian::date;
  using boost::posix_time::ptime;
  using boost::posix_time::time_duration;
  EXPECT_EQ(shelfscan::BuildLogFileName(ptime(date(2026, 12, 7), time_duration(2, 5, 33))),
            L"2026-Dec-7-02-05-33.log");
  EXPECT_EQ(shelfscan::BuildLogFileName(ptime(date(2026, 3, 25), time_duration(14, 0, 9))),
            L"2026-Mar-25-14-00-09.log");
  EXPECT_EQ(shelfscan::BuildLogFileName(ptime(date(2000, 1, 1), time_duration(0, 0, 0))),
            L"2000-Jan-1-00-00-00.log");
  EXPECT_EQ(shelfscan::BuildLogFileName(ptime(date(1999, 12, 31), time_duration(23, 59, 59))),
            L"1999-Dec-31-23-59-59.log");
}

TEST(ShelfscanOptions, DetailLogReplacesTheLastLogExtension) {
  EXPECT_EQ(shelfscan::DetailLogPath(L"/home/u/Halvane/2026-Dec-7-02-05-33.log"),
            L"/home/u/Halvane/2026-Dec-7-02-05-33_detail.log");
  EXPECT_EQ(shelfscan::DetailLogPath(L"/x.log/y.log/2026-Jan-1-00-00-00.log"),
            L"/x.log/y.log/2026-Jan-1-00-00-00_detail.log");
}

TEST(ShelfscanOptions, ResumeNeedsAReportAndUndoTakesNoModeNorPaths) {
  ScanOptions o = ParseArguments({L"-resume", L"-report:r.jsonl", L"-fix", L"r"});
  EXPECT_TRUE(o.resume && o.fixMode && o.errors.empty());
  o = ParseArguments({L"-undo:fix.jsonl", L"-report:undo.jsonl", L"-resume"});
  EXPECT_EQ(o.undoReport, L"fix.jsonl");
  EXPECT_TRUE(o.errors.empty());
  const std::vector<std::wstring> wrong[] = {{L"-resume", L"r"},          {L"-undo:", L"-l:x"},
                                             {L"-undo:f", L"r"},          {L"-undo:f", L"-files:list"},
                                             {L"-check", L"-undo:f"},     {L"-undo:f", L"-fix"}};
  for (const std::vector<std::wstring>& arguments : wrong) {
    EXPECT_EQ(ParseArguments(arguments).errors.size(), 1u) << platform::EncodeNative(arguments[0] + L" " + arguments[1]);
  }
  EXPECT_EQ(ParseArguments({L"-Resume", L"-UNDO:f"}).roots, (std::vector<std::wstring>{L"-Resume", L"-UNDO:f"}));
}

TEST(ShelfscanOptions, JobsAndReportTakeTheirValuesOrGiveAnErrorLine) {
  ScanOptions o = ParseArguments({L"r"});
  EXPECT_EQ(o.jobs, 1);
  EXPECT_TRUE(o.reportPath.empty());
  o = ParseArguments({L"-jobs:4", L"-report:out.jsonl", L"r", L"-jobs:2", L"-report:later.jsonl"});
  EXPECT_EQ(o.jobs, 2) << "the later one wins";
  EXPECT_EQ(o.reportPath, L"later.jsonl");
  EXPECT_TRUE(o.errors.empty());
  EXPECT_EQ(o.roots, std::vector<std::wstring>{L"r"});
  EXPECT_GE(ParseArguments({L"-jobs:0", L"r"}).jobs, 1) << "one per processor";
  EXPECT_EQ(ParseArguments({L"-jobs:256", L"r"}).jobs, 256);
  EXPECT_EQ(ParseArguments({L"-jobs:007", L"r"}).jobs, 7);

  for (const std::wstring bad : {L"-jobs:", L"-jobs:x", L"-jobs:-1", L"-jobs:+2", L"-jobs:2x", L"-jobs: 2", L"-jobs:257",
                                 L"-jobs:99999999999"}) {
    o = ParseArguments({bad, L"r"});
    ASSERT_EQ(o.errors.size(), 1u) << platform::EncodeNative(bad);
    EXPECT_EQ(o.errors[0], L"Invalid parameter " + bad +
                               L": -jobs: takes the number of Bookmender runs at once, 1 to 256, or 0 for one per processor.");
    EXPECT_EQ(o.roots, std::vector<std::wstring>{L"r"});
  }
  o = ParseArguments({L"-report:", L"r"});
  ASSERT_EQ(o.errors.size(), 1u);
  // Exact and case-sensitive like the others: these are search paths.
  o = ParseArguments({L"-JOBS:2", L"-jobs", L"-Report:x"});
  EXPECT_TRUE(o.errors.empty());
  EXPECT_EQ(o.jobs, 1);
  EXPECT_EQ(o.roots, (std::vector<std::wstring>{L"-JOBS:2", L"-jobs", L"-Report:x"}));
}
