// The main log's writer and the warning and scan error lines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "ChildRun.h"
#include "MainLog.h"
#include "Status.h"
#include "frontend/ResultCode.h"
#include "platform/text.h"
#include "process.h"
#include "workbook_file.h"

namespace {

using testsupport::ReadFileBytes;

// UTF-16LE bytes of `units`.
std::string Le(const std::u16string& units) {
  std::string bytes;
  for (const char16_t u : units) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return bytes;
}

const std::string kBom("\xFF\xFE", 2);
const std::string kCrLf = Le(u"\r\n");

class MainLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("2026-Dec-7-02-05-33.log");
    log_.CurrentLogPath = platform::DecodeNative(path_);
  }
  std::string Log() const {
    const testsupport::Bytes bytes = ReadFileBytes(path_);
    return std::string(bytes.begin(), bytes.end());
  }
  bool LogExists() const { return ::access(path_.c_str(), F_OK) == 0; }

  // What `write` puts on standard output.
  template <typename F>
  std::string Console(F write) {
    const std::string captured = dir_.file("console");
    const int file = ::open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(file, STDOUT_FILENO);
    write();
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(file);
    const testsupport::Bytes bytes = ReadFileBytes(captured);
    return std::string(bytes.begin(), bytes.end());
  }

  testsupport::TempDir dir_;
  std::string path_;
  shelfscan::MainLog log_;
};

TEST_F(MainLogTest, NewLogStartsWithOneByteOrderMarkAndLinesEndInCrLf) {
  log_.AppendLogLine(L"[ok],/data/book.xls\n");
  log_.AppendLogLine(L"[fixed],/data/b,c.xls\n");
  EXPECT_EQ(Log(), kBom + Le(u"[ok],/data/book.xls") + kCrLf + Le(u"[fixed],/data/b,c.xls") + kCrLf);

  // An empty file counts as new.
  ASSERT_EQ(::truncate(path_.c_str(), 0), 0);
  log_.AppendLogLine(L"[ok],x\n");
  EXPECT_EQ(Log(), kBom + Le(u"[ok],x") + kCrLf);
}

TEST_F(MainLogTest, TextIsUtf16WithUndecodableBytesAndControlsReplaced) {
  // "é", a character beyond the BMP, an escaped byte 0xFF, a tab, a carriage
  // return and an escape inside one record.
  log_.AppendLogLine(platform::DecodeNative("[ok],/d/\xC3\xA9\xF0\x9F\x98\x80\xFF\t\r\x1B.xls\n"));
  EXPECT_EQ(Log(), kBom + Le(u"[ok],/d/\u00E9\U0001F600\uFFFD\uFFFD\uFFFD\uFFFD.xls") + kCrLf);
}

TEST_F(MainLogTest, LongLinesAreWrittenWhole) {
  const std::wstring path(5000, L'p');
  log_.AppendLogLine(L"[ok]," + path + L"\n");
  EXPECT_EQ(Log(), kBom + Le(u"[ok],") + Le(std::u16string(5000, u'p')) + kCrLf);
}

TEST_F(MainLogTest, HeldLogIsWaitedForAndALineItCannotTakeEndsTheRun) {
  log_.AppendLogLine(L"[ok],first\n");
  {
    // Another scan holding the log a moment: the line waits, it is not lost.
    auto holder = std::make_unique<testsupport::LockHolder>(path_, 'w');
    ASSERT_TRUE(holder->held());
    std::thread release([&holder] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      holder.reset();
    });
    log_.AppendLogLine(L"[ok],waited\n");
    release.join();
  }
  log_.AppendLogLine(L"[ok],after\n");
  EXPECT_EQ(Log(), kBom + Le(u"[ok],first") + kCrLf + Le(u"[ok],waited") + kCrLf + Le(u"[ok],after") + kCrLf);

  // A log that cannot take the line: the scan stops there, saying so with
  // the files still running, and writes nothing more.
  shelfscan::RunningFiles running;
  running.add(L"/d/running.xls");
  log_.FilesStillRunning = &running;
  log_.CurrentLogPath = platform::DecodeNative(dir_.file("missing/x.log"));
  const std::string said = Console([this] { EXPECT_THROW(log_.AppendLogLine(L"[ok],a\n"), shelfscan::LineLost); });
  EXPECT_EQ(said.rfind("[scan err]," + dir_.file("missing/x.log") + ",Cannot write to the log: ", 0), 0u) << said;
  EXPECT_NE(said.find(" The scan stops here; this line is not in the log: [ok],a\n[scan err],/d/running.xls,The scan "
                      "stopped while Bookmender ran on this file; its line is not in the log\n"),
            std::string::npos)
      << said;
  EXPECT_TRUE(log_.stopped());
  log_.CurrentLogPath = platform::DecodeNative(path_);
  EXPECT_EQ(Console([this] {
              EXPECT_THROW(log_.ReportWarning(L"/d/x", L"later"), shelfscan::LineLost);
              EXPECT_THROW(log_.AppendLogLine(L"[ok],later\n"), shelfscan::LineLost);
            }),
            "");
  EXPECT_NE(::access(dir_.file("missing").c_str(), F_OK), 0);
  EXPECT_EQ(Log(), kBom + Le(u"[ok],first") + kCrLf + Le(u"[ok],waited") + kCrLf + Le(u"[ok],after") + kCrLf);
}

TEST_F(MainLogTest, OpenedAtStartWithItsMarkOrRefusedWithAConsoleLine) {
  EXPECT_EQ(Console([this] { EXPECT_TRUE(log_.open(platform::DecodeNative(path_))); }), "");
  EXPECT_EQ(Log(), kBom) << "the mark is written at the open, before any line";
  log_.AppendLogLine(L"[ok],x\n");
  EXPECT_EQ(Log(), kBom + Le(u"[ok],x") + kCrLf);

  const std::string link = dir_.file("link.log");
  ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
  shelfscan::MainLog other;
  EXPECT_EQ(Console([&link, &other] { EXPECT_FALSE(other.open(platform::DecodeNative(link))); }),
            "[scan err]," + link + ",Cannot open the log: It is a symbolic link.\n");
  EXPECT_EQ(Log(), kBom + Le(u"[ok],x") + kCrLf);
}

TEST_F(MainLogTest, LinesFromManyThreadsAtOnceComeWhole) {
  // Long lines, so that a write cut in two by another thread's would show.
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    const std::wstring filler(300 + t, static_cast<wchar_t>(L'a' + t));
    for (int i = 0; i < kLines; ++i) {
      expected.insert(Le(platform::ToUtf16(L"[ok]," + std::to_wstring(t) + L"/" + std::to_wstring(i) + filler)));
    }
    threads.emplace_back([this, t, filler] {
      for (int i = 0; i < kLines; ++i) {
        log_.AppendLogLine(L"[ok]," + std::to_wstring(t) + L"/" + std::to_wstring(i) + filler + L"\n");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::string log = Log();
  ASSERT_EQ(log.compare(0, 2, kBom), 0);
  std::set<std::string> lines;
  std::size_t count = 0;
  for (std::size_t start = 2; start < log.size();) {
    std::size_t end = start;
    while (end + 3 < log.size() && log.compare(end, 4, kCrLf) != 0) end += 2;
    ASSERT_LT(end + 3, log.size()) << "a last line without CR LF";
    lines.insert(log.substr(start, end - start));
    ++count;
    start = end + 4;
  }
  EXPECT_EQ(count, static_cast<std::size_t>(kThreads * kLines));
  EXPECT_EQ(lines, expected);
}

TEST_F(MainLogTest, WarningsAndScanErrorsGoToConsoleAndLog) {
  EXPECT_EQ(Console([this] { log_.ReportWarning(L"/d/link", L"Skipped symbolic link"); }),
            "[warning],/d/link,Skipped symbolic link\n");
  // Not logged when asked so (before the log exists); an empty message keeps
  // its comma; a path with a line feed stays one line.
  EXPECT_EQ(Console([this] { log_.ReportScanError(L"/logs/", L"no folder", false); }),
            "[scan err],/logs/,no folder\n");
  EXPECT_EQ(Console([] { shelfscan::ReportScanError(L"/logs/", L"before the log"); }),
            "[scan err],/logs/,before the log\n");
  EXPECT_EQ(Console([this] { log_.ReportScanError(L"/d/a\nb", L"", true); }),
            "[scan err],/d/a\xEF\xBF\xBD" "b,\n");
  EXPECT_EQ(Log(), kBom + Le(u"[warning],/d/link,Skipped symbolic link") + kCrLf +
                       Le(u"[scan err],/d/a\uFFFDb,") + kCrLf);
}

}  // namespace

// The status labels, as the manual lists them, against Bookmender's own
// result codes: every code has its label, and nothing else has one.
TEST(StatusLabel, EveryResultCodeHasItsLabel) {
  const std::pair<int, std::wstring> documented[] = {
      {0, L"[ok],"},
      {2, L"[broken],"},
      {3, L"[container problem],"},
      {4, L"[password],"},
      {5, L"[restored],"},
      {50, L"[bad arguments],"},
      {51, L"[file not found],"},
      {52, L"[access denied],"},
      {53, L"[sharing violation],"},
      {54, L"[not BIFF8 workbook],"},
      {55, L"[temp copy failed],"},
      {56, L"[copy back failed],"},
      {57, L"[backup failed],"},
      {58, L"[changed since repair],"},
      {59, L"[backup missing],"},
      {60, L"[backup changed],"},
      {61, L"[restore failed],"},
  };
  for (const auto& [code, label] : documented) {
    EXPECT_EQ(shelfscan::StatusLabel(code, false), label) << code;
    EXPECT_EQ(shelfscan::StatusLabel(code, true), label) << code;
  }
  EXPECT_EQ(std::wstring(shelfscan::StatusLabel(1, true)), L"[fixed],");
  EXPECT_EQ(std::wstring(shelfscan::StatusLabel(1, false)), L"[fixable],");

  std::set<int> known;
  for (const bookmender::ResultCode code : bookmender::kResultCodes) {
    known.insert(code);
    EXPECT_NE(std::wstring(shelfscan::StatusLabel(code, false)), L"[unexpected],") << code;
    EXPECT_FALSE(bookmender::FinalMessage(code, false).empty()) << code;
  }
  EXPECT_EQ(known.size(), std::size(documented) + 1);
  for (int code = -300; code <= 300; ++code) {
    if (known.count(code) == 0) {
      EXPECT_EQ(std::wstring(shelfscan::StatusLabel(code, true)), L"[unexpected],") << code;
    }
  }
}
