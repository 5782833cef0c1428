// The Windows Shelfscan with its input options: UTF-8 file lists (with a
// byte-order mark, CR LF, NUL-separated) whose names lie beyond the code
// page, exclusions, -anycase, and a list that cannot be opened. A stand-in
// Bookmender beside a copy of Shelfscan records each command line.
#include <gtest/gtest.h>

#include <algorithm>

#include "process.h"
#include "scan_console.h"
#include "windows_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace wintest;

namespace {

// The lines of a main log (UTF-16LE after its byte-order mark, CR LF) as
// UTF-8.
std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> lines;
  EXPECT_EQ(log.substr(0, 2), "\xFF\xFE");
  std::wstring line;
  for (std::size_t i = 2; i + 1 < log.size(); i += 2) {
    const wchar_t unit =
        static_cast<wchar_t>(static_cast<unsigned char>(log[i]) | static_cast<unsigned char>(log[i + 1]) << 8);
    if (unit == L'\n' && !line.empty() && line.back() == L'\r') {
      line.pop_back();
      lines.push_back(Utf8(line));
      line.clear();
    } else {
      line.push_back(unit);
    }
  }
  EXPECT_TRUE(line.empty()) << "a last line without CR LF";
  return lines;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class ShelfscanWindowsInputs : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = dir_.file("bin");
    root_ = dir_.file("root");
    record_ = dir_.file("record.txt");
    ASSERT_TRUE(MakeFolder(bin_));
    ASSERT_TRUE(MakeFolder(root_));
    ASSERT_TRUE(CopyInto(Built("Shelfscan.exe"), bin_ + "\\Shelfscan.exe"));
    ASSERT_TRUE(CopyInto(Built("stand_in_bookmender.exe"), bin_ + "\\Bookmender.exe"));
  }
  // Runs Shelfscan with a fresh log folder; returns its output and leaves
  // the log's lines in `log`.
  ProcessResult Scan(std::vector<std::string> arguments, std::vector<std::string>& log) {
    const std::string logs = dir_.file("logs" + std::to_string(runs_++));
    DeleteFileW(Wide(record_).c_str());
    std::vector<std::string> argv{bin_ + "\\Shelfscan.exe", "-l:" + logs};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.environment = {"BM_RECORD=" + record_};
    const ProcessResult r = RunProcess(argv, options);
    log.clear();
    const std::vector<std::string> names = Entries(logs);
    if (names.size() == 1) log = LogLines(Text(ReadFileBytes(logs + "\\" + names[0])));
    EXPECT_LE(names.size(), 1u);
    return r;
  }
  std::string File(const std::string& relative, const std::string& bytes = "x") {
    const std::string path = root_ + "\\" + relative;
    WriteFileBytes(path, Bytes(bytes.begin(), bytes.end()));
    return path;
  }
  std::string Folder(const std::string& relative) {
    const std::string path = root_ + "\\" + relative;
    EXPECT_TRUE(MakeFolder(path)) << path;
    return path;
  }
  // The files the stand-in was run on, in order.
  std::vector<std::string> Checked() {
    std::vector<std::string> paths;
    if (!Exists(record_)) return paths;
    for (const std::string& recorded : Lines(Text(ReadFileBytes(record_)))) {
      const std::string line = WithoutPlace(recorded);
      const std::string prefix = " -check \"";
      EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
      paths.push_back(line.substr(prefix.size(), line.size() - prefix.size() - 1));
    }
    return paths;
  }

  TempDir dir_;
  std::string bin_, root_, record_;
  int runs_ = 0;
};

TEST_F(ShelfscanWindowsInputs, Utf8ListsNameFilesBeyondTheCodePageExactly) {
  const std::string japanese = File("\xE6\x97\xA5\xE6\x9C\xAC caf\xC3\xA9.xls");
  const std::string chart = File("\xF0\x9F\x93\x88 notes.txt");  // listed: checked whatever its extension
  const std::string folder = Folder("sub");
  const std::string missing = root_ + "\\missing.xls";
  // A byte-order mark as Notepad writes it, CR LF and an empty line.
  const std::string lines = File("lines.lst", "\xEF\xBB\xBF" + japanese + "\r\n\r\n" + folder + "\r\n" + missing +
                                                  "\r\n" + chart);
  const std::string nul = File("names.lst", chart + '\0' + japanese + '\0');

  std::vector<std::string> log;
  const ProcessResult r = Scan({"-files:" + lines, "-files0:" + nul}, log);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  const std::vector<std::string> expected = {
      "[ok]," + japanese,
      "[scan err]," + folder + ",It is a folder; folders named in a file list are not searched.",
      "[scan err]," + missing + ",The path doesn't exist!",
      "[ok]," + chart,
      "[ok]," + chart,
      "[ok]," + japanese,
  };
  EXPECT_EQ(log, expected);
  EXPECT_TRUE(ScanConsoleIs(r.output, ConsoleText({expected[1], expected[2]}, "\r\n"), {{"[ok]", 4}}));
  EXPECT_EQ(Checked(), (std::vector<std::string>{japanese, chart, chart, japanese}));

  // A list that cannot be opened ends the run before anything is made.
  const ProcessResult failed = Scan({"-files:" + root_ + "\\no such.lst", root_}, log);
  EXPECT_EQ(failed.exitCode, 1);
  ASSERT_EQ(Lines(failed.output).size(), 1u) << failed.output;
  EXPECT_EQ(Lines(failed.output)[0].rfind("[scan err]," + root_ + "\\no such.lst,Cannot read the file list: ", 0), 0u)
      << failed.output;
  EXPECT_TRUE(log.empty());
  EXPECT_TRUE(Checked().empty());
}

TEST_F(ShelfscanWindowsInputs, ExclusionsAndAnyCaseSelectTheExpectedFiles) {
  Folder(".snapshot");
  File(".snapshot\\old.xls");
  Folder("#Recycle");
  File("#Recycle\\gone.xls");
  File("~$Budget.xls");
  const std::string kept = File("budget.xls");
  const std::string upper = File("REPORT.XLS");
  const std::string mixed = File("Plan.Xls");
  File("other.xlsx");

  std::vector<std::string> log;
  ProcessResult r = Scan({"-exclude:.SNAPSHOT", "-exclude:#recycle", "-exclude:~$*", root_}, log);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[ok]", 1}}, 2)) << "REPORT.XLS and Plan.Xls passed over";
  EXPECT_EQ(log, std::vector<std::string>{"[ok]," + kept});

  r = Scan({"-anycase", "-exclude:~$*", root_ + "\\"}, log);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ScanConsoleIs(r.output, "", {{"[ok]", 5}}));
  EXPECT_EQ(Sorted(log), Sorted({"[ok]," + root_ + "\\.snapshot\\old.xls", "[ok]," + root_ + "\\#Recycle\\gone.xls",
                                 "[ok]," + kept, "[ok]," + upper, "[ok]," + mixed}));
  EXPECT_EQ(Checked().size(), 5u);

  // A pattern with a folder separator could never match a name.
  r = Scan({"-exclude:root\\.snapshot", root_}, log);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Lines(r.output), std::vector<std::string>{"[scan err],-exclude:root\\.snapshot,An exclusion pattern is "
                                                      "matched against names, which cannot hold \"\\\"."});
}

}  // namespace
