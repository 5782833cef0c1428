// The built Bookmender's results as a user sees them: exit codes, the exact
// lines on each stream, the repaired file and its backups, the arguments it
// takes, any file name, and the real corpus.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "bookmender_run.h"
#include "charted_workbook.h"
#include "damage.h"
#include "drawing_builder.h"
#include "process.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace bookmendertest;

namespace {

TEST_F(BookmenderRun, FixRepairsTheFileAndKeepsTheDamagedOneAsBackup) {
  const std::vector<std::int64_t> moved{0, 12};
  const ChartedWorkbook damaged = MakeWorkbook(moved);
  const Bytes damagedFile = TaggedFile(damaged.stream);
  const Bytes soundFile = TaggedFile(MakeWorkbook({0, 0}).stream);
  ASSERT_NE(damagedFile, soundFile);
  const std::string path = Write("book.xls", damagedFile);
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);

  const ProcessResult r = Run({"-fix", path});
  EXPECT_EQ(r.exitCode, 1);
  std::vector<std::string> expected = Concat(Banner(path), RepairLines(damaged, moved));
  expected = Concat(expected, {"Making backup copy of original file",
                               "Backup copy successfully created: " + path + ".bak",
                               "Replacing original file with fixed version",
                               "Final result: A problem was fixed"});
  EXPECT_EQ(Lines(r.output), expected);
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(ReadFileBytes(path), soundFile);
  EXPECT_EQ(ReadFileBytes(path + ".bak"), damagedFile);
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "the original must keep its identity";
  EXPECT_EQ(after.st_mode, before.st_mode);

  // The repaired file is healthy now; a second fix changes nothing more.
  const ProcessResult again = Run({"-fix", path});
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(Lines(again.output).back(), "Final result: No problems were detected with the file");
  EXPECT_FALSE(Exists(path + ".bak001"));
}

TEST_F(BookmenderRun, CheckFindsTheProblemAndWritesNothing) {
  const std::vector<std::int64_t> moved{6, 18};
  const ChartedWorkbook damaged = MakeWorkbook(moved);
  const Bytes file = TaggedFile(damaged.stream, u"TMTAG2");
  const std::string path = Write("book.xls", file);
  const ProcessResult r = Run({"-check", path});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Lines(r.output), Concat(Concat(Banner(path), RepairLines(damaged, moved)),
                                    {"Final result: A problem was detected that Bookmender can fix"}));
  EXPECT_EQ(ReadFileBytes(path), file);
  EXPECT_FALSE(Exists(path + ".bak"));
}

TEST_F(BookmenderRun, BothStreamsKeepTheirOrderInOneFile) {
  const std::string path = Write("odd.xls", TaggedFile(MakeWorkbook({4}).stream));
  ProcessOptions merged;
  merged.mergeOutput = true;
  const ProcessResult r = Run({"-check", path}, merged);
  EXPECT_EQ(r.exitCode, 2);
  const std::vector<std::string> lines = Lines(r.output);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "Size discrepancy for this substream: 4");
  EXPECT_EQ(lines[lines.size() - 2], "General exception [Size discrepancy is not a multiple of 6 bytes]");
  EXPECT_EQ(lines.back(), "Final result: The file is malformed in a way that Bookmender cannot fix");
}

TEST_F(BookmenderRun, AllBackupNamesTakenLeavesTheOriginalAlone) {
  const Bytes file = TaggedFile(MakeWorkbook({6}).stream);
  const std::string path = Write("book.xls", file);
  for (int i = 0; i < 1000; ++i) {
    Write("book.xls.bak" + (i == 0 ? std::string() : std::to_string(1000 + i).substr(1)), {1});
  }
  const ProcessResult r = Run({"-fix", path});
  EXPECT_EQ(r.exitCode, 57);
  EXPECT_EQ(r.error, "");
  const std::vector<std::string> lines = Lines(r.output);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 2], "Making backup copy of original file");
  EXPECT_EQ(lines.back(),
            "Final result: Specified file needs fixing, but Bookmender failed to make a backup copy");
  EXPECT_EQ(ReadFileBytes(path), file);
  EXPECT_EQ(ReadFileBytes(path + ".bak500"), Bytes{1}) << "existing backups keep their content";
  EXPECT_FALSE(Exists(path + ".bak1000"));
}

TEST_F(BookmenderRun, BackupNamesFillTheFirstGap) {
  const Bytes damaged = TaggedFile(MakeWorkbook({6}).stream);
  const std::string path = Write("book.xls", damaged);
  Write("book.xls.bak", {'a'});
  Write("book.xls.bak002", {'b'});
  const ProcessResult r = Run({"-fix", path});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(ReadFileBytes(path + ".bak001"), damaged);
  EXPECT_EQ(ReadFileBytes(path + ".bak"), Bytes{'a'});
  EXPECT_EQ(ReadFileBytes(path + ".bak002"), Bytes{'b'});
  const std::vector<std::string> lines = Lines(r.output);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Backup copy successfully created: " + path + ".bak001"),
            lines.end());
}

TEST_F(BookmenderRun, HealthyAndUntaggedWorkbooksNeedNothing) {
  const Bytes sound = MakeWorkbook({0, 0}).stream;
  // Untagged, even when damaged: nothing is read beyond the tag.
  const std::string untagged = Write("untagged.xls", BuildWorkbookFile(MakeWorkbook({6}).stream));
  ProcessResult r = Run({"-fix", untagged});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Lines(r.output), Concat(Banner(untagged), {"File has not been optimized by Trimora",
                                                       "Final result: No problems were detected with the file"}));
  EXPECT_FALSE(Exists(untagged + ".bak"));

  // Tagged, suspicious, every chart exact: measured, not fixed.
  const std::string healthy = Write("healthy.xls", TaggedFile(sound));
  r = Run({"-fix", healthy});
  EXPECT_EQ(r.exitCode, 0);
  std::vector<std::string> lines = Lines(r.output);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Size discrepancy for this substream: 0"), 2);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Making temporary copy of file to try fix"), 0);
  EXPECT_EQ(lines[lines.size() - 2], "Container integrity check OK");
  EXPECT_FALSE(Exists(healthy + ".bak"));

  // Tagged with no suspicious sheet.
  BiffBuilder plain;
  plain.bof(0x0005);
  plain.eof();
  plain.bof();
  plain.eof();
  const std::string simple = Write("simple.xls", TaggedFile(plain.bytes()));
  r = Run({"-check", simple});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Lines(r.output), Concat(Banner(simple), {"Read 4 BIFF records.", "Normal sheet beginning at record 2",
                                                     "No suspicious sheets",
                                                     "Checking Office drawing container integrity",
                                                     "Container integrity check OK",
                                                     "Final result: No problems were detected with the file"}));
}

// Workbook streams of odd length: up to three zero bytes after the last EOF
// are padding, for sound and damaged workbooks alike; others are malformed.
TEST_F(BookmenderRun, ShortZeroTailIsPadding) {
  for (int extra = 1; extra <= 3; ++extra) {
    Bytes sound = MakeWorkbook({0}).stream;
    sound.resize(sound.size() + extra, 0);
    const std::string soundPath = Write("sound" + std::to_string(extra) + ".xls", TaggedFile(sound));
    EXPECT_EQ(Run({"-check", soundPath}).exitCode, 0) << extra;

    Bytes damaged = MakeWorkbook({6}).stream;
    damaged.resize(damaged.size() + extra, 0);
    const std::string damagedPath = Write("damaged" + std::to_string(extra) + ".xls", TaggedFile(damaged));
    EXPECT_EQ(Run({"-fix", damagedPath}).exitCode, 1) << extra;
    EXPECT_EQ(Run({"-check", damagedPath}).exitCode, 0) << extra;

    Bytes torn = MakeWorkbook({0}).stream;
    torn.resize(torn.size() + extra, 0);
    torn.back() = 0x01;
    const std::string tornPath = Write("torn" + std::to_string(extra) + ".xls", TaggedFile(torn));
    const ProcessResult r = Run({"-check", tornPath});
    EXPECT_EQ(r.exitCode, 2) << extra;
    EXPECT_EQ(Lines(r.error),
              std::vector<std::string>{"I/O exception [Reached end of stream while trying to read BIFF header]"});
  }
}

TEST_F(BookmenderRun, MalformedAndBrokenDrawingsAreReported) {
  // A discrepancy of 4 bytes is not the optimiser's damage: result 2.
  const Bytes odd = TaggedFile(MakeWorkbook({6, 4}).stream);
  const std::string oddPath = Write("odd.xls", odd);
  ProcessResult r = Run({"-fix", oddPath});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(Lines(r.error), std::vector<std::string>{"General exception [Size discrepancy is not a multiple of 6 bytes]"});
  EXPECT_EQ(Lines(r.output).back(), "Final result: The file is malformed in a way that Bookmender cannot fix");
  EXPECT_EQ(ReadFileBytes(oddPath), odd);

  // Moving bytes into a chart without taking them from the sheet leaves the
  // fixed copy broken: result 3 after a fix, original untouched, no backup.
  std::vector<Bytes> charts{SerializeDrawing(WithContainerLengthsMoved(TypicalDrawing(1), 6))};
  ChartedSheetOptions options;
  options.chartDrawings = charts;
  BiffBuilder builder;
  AppendGlobals(builder);
  AppendChartedSheet(builder, TypicalDrawing(2), options);
  const Bytes unbalanced = TaggedFile(builder.bytes());
  const std::string unbalancedPath = Write("unbalanced.xls", unbalanced);
  r = Run({"-fix", unbalancedPath});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(Lines(r.output).back(), "Final result: The file contains container length issues");
  EXPECT_EQ(Lines(r.error),
            std::vector<std::string>{"I/O exception [Attempt to read beyond end of OfficeDrawingStream]"});
  EXPECT_EQ(ReadFileBytes(unbalancedPath), unbalanced);
  EXPECT_FALSE(Exists(unbalancedPath + ".bak"));
}

TEST_F(BookmenderRun, ArgumentsAreCheckedExactly) {
  const std::string path = Write("book.xls", TaggedFile(MakeWorkbook({6}).stream));
  const std::vector<std::vector<std::string>> bad{
      {}, {"-check"}, {"-check", path, "extra"}, {"-CHECK", path}, {"-Fix", path},
      {"/check", path}, {"-check:", path}, {path, "-check"}, {"--fix", path}, {"", path}};
  for (const auto& args : bad) {
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.exitCode, 50);
    EXPECT_EQ(Lines(r.error),
              (std::vector<std::string>{"Usage:", "Bookmender -check <filename>", "Bookmender -fix <filename>"}));
    EXPECT_EQ(Lines(r.output), std::vector<std::string>{"Final result: Invalid command-line arguments were provided"});
  }
  EXPECT_FALSE(Exists(path + ".bak"));
}

TEST_F(BookmenderRun, AnyFileNameIsPrintedWholeWithItsControlsReplaced) {
  const Bytes file = TaggedFile(MakeWorkbook({6}).stream);
  const std::string fffd = "\xEF\xBF\xBD";
  // Name as given, name as printed: undecodable bytes and control characters
  // (C0, DEL, C1) become U+FFFD, the file itself is still the one fixed.
  const std::vector<std::pair<std::string, std::string>> names = {
      {"a b,c \"q\".xls", "a b,c \"q\".xls"},
      {"caf\xC3\xA9 \xE6\x97\xA5 \xC2\xA0.xls", "caf\xC3\xA9 \xE6\x97\xA5 \xC2\xA0.xls"},
      {"bad\xFF\xFEname.xls", "bad" + fffd + fffd + "name.xls"},
      {"new\nline\r\n.xls", "new" + fffd + "line" + fffd + fffd + ".xls"},
      {"\x1B[2J\x1B]0;owned\x07\xC2\x9B" "31m\x7F.xls",
       fffd + "[2J" + fffd + "]0;owned" + fffd + fffd + "31m" + fffd + ".xls"},
  };
  for (const auto& [name, shown] : names) {
    const std::string path = Write(name, file);
    const std::string shownPath = dir_.file(shown);
    const ProcessResult r = Run({"-fix", path});
    EXPECT_EQ(r.exitCode, 1) << name;
    const std::vector<std::string> lines = Lines(r.output);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3), Banner(shownPath));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Backup copy successfully created: " + shownPath + ".bak"),
              lines.end());
    EXPECT_EQ(lines.back(), "Final result: A problem was fixed") << name;
    EXPECT_TRUE(Exists(path + ".bak")) << name;
    for (const char c : r.output + r.error) {
      EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << "control character " << int(c);
    }
    EXPECT_EQ(r.output.find("\xC2\x9B"), std::string::npos) << "a raw C1 control";
  }

  // Error lines name the file the same way.
  const std::string missing = "gone\x1B[1m.xls";
  const ProcessResult r = Run({"-check", dir_.file(missing)});
  EXPECT_EQ(r.exitCode, 51);
  EXPECT_EQ(r.error, "File not found opening workbook stream [" + dir_.file("gone" + fffd + "[1m.xls") + "]\n");
}

// Real workbooks, tagged as the optimiser tags them, and damaged as it damages
// them.
class CorpusRun : public BookmenderRun {
 protected:
  void SetUp() override {
    BookmenderRun::SetUp();
    corpus_ = CorpusDir();
    if (corpus_.empty()) GTEST_SKIP() << "no real workbooks beside the repository (../shared/corpus)";
  }
  Bytes Tagged(const std::string& name) { return AddUserProperty(ReadFileBytes(corpus_ + "/" + name), u"TMTAG"); }
  std::string corpus_;
};

TEST_F(CorpusRun, TaggedRealWorkbooksGiveTheirDocumentedResults) {
  const std::pair<const char*, int> expected[] = {
      {"44861.xls", 0}, {"WithThreeCharts.xls", 0}, {"WithChart.xls", 0},
      {"46137.xls", 0}, {"31749.xls", 0},           {"ConditionalFormattingSamples.xls", 0},
      {"drawings.xls", 0}, {"13224.xls", 0},         {"47251.xls", 3},
      {"61300.xls", 2}, {"password.xls", 4},        {"testEXCEL_95.xls", 54},
  };
  for (const auto& [name, code] : expected) {
    const Bytes file = Tagged(name);
    const std::string path = Write(name, file);
    for (const char* mode : {"-check", "-fix"}) {
      const ProcessResult r = Run({mode, path});
      EXPECT_EQ(r.exitCode, code) << name << " " << mode << "\n" << r.output << r.error;
    }
    EXPECT_EQ(ReadFileBytes(path), file) << name;
    EXPECT_FALSE(Exists(path + ".bak")) << name;
  }
  // Untagged, every one of them is passed over.
  const ProcessResult r = Run({"-check", corpus_ + "/47251.xls"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Lines(r.output).at(3), "File has not been optimized by Trimora");
}

TEST_F(CorpusRun, DamagedRealWorkbooksAreRepairedByteForByte) {
  int repaired = 0;
  for (const char* name : {"44861.xls", "WithThreeCharts.xls"}) {
    for (std::uint32_t k : {1u, 3u}) {
      const Bytes sound = Tagged(name);
      const std::string path = Write(name, sound);
      ASSERT_GT(DamageSuspiciousSheets(path, k), 0) << name;
      const Bytes damaged = ReadFileBytes(path);
      ASSERT_NE(damaged, sound);

      ProcessResult r = Run({"-check", path});
      EXPECT_EQ(r.exitCode, 1) << name << r.error;
      EXPECT_EQ(ReadFileBytes(path), damaged);

      r = Run({"-fix", path});
      EXPECT_EQ(r.exitCode, 1) << name << r.error;
      EXPECT_EQ(Lines(r.output).back(), "Final result: A problem was fixed");
      EXPECT_EQ(ReadFileBytes(path), sound) << name;
      EXPECT_EQ(ReadFileBytes(path + ".bak"), damaged) << name;
      ++repaired;
      unlink((path + ".bak").c_str());
    }
  }
  EXPECT_EQ(repaired, 4);
}

}  // namespace
