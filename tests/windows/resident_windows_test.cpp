// One Bookmender process serving file after file through the platform's
// resident child: what each file gets is what a run of its own gets, a
// child ended from outside gives way to a new one, and none is left behind.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include "frontend/ResultRecord.h"
#include "frontend/ServeRequest.h"
#include "platform/resident.h"
#include "platform/text.h"
#include "samples.h"
#include "windows_test_util.h"
#include "workbook_file.h"

using namespace testsupport;
using namespace wintest;

namespace {

std::string Request(const std::vector<std::string>& arguments) {
  std::vector<std::string> bytes;
  for (const std::string& argument : arguments) bytes.push_back(platform::NameBytes(Wide(argument)));
  return bookmender::RequestLine(bytes);
}

std::string Output(const platform::ScratchOutput& output) {
  std::string bytes;
  platform::Win32Error error = 0;
  EXPECT_TRUE(output.read(bytes, error)) << error;
  return bytes;
}

// The records without the repaired file's modification time, which two
// repairs of the same bytes do not share.
std::string WithoutRepairTime(std::string records) {
  const std::size_t proof = records.find("BMR1 = ");
  if (proof == std::string::npos) return records;
  const std::size_t size = records.find(' ', proof + 7 + 65);
  const std::size_t end = size == std::string::npos ? size : records.find(' ', size + 1);
  return end == std::string::npos ? records : records.erase(size + 1, end - size - 1);
}

// Processes of the given executable's name (or this one's children when
// none), once the system has let ended ones go (up to five seconds).
std::size_t Left(const wchar_t* name = nullptr) {
  std::size_t count = 0;
  for (int attempt = 0; attempt < 50; ++attempt, Sleep(100)) {
    count = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 1000;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
      if (name != nullptr ? _wcsicmp(entry.szExeFile, name) == 0
                          : entry.th32ParentProcessID == GetCurrentProcessId()) {
        ++count;
      }
    }
    CloseHandle(snapshot);
    if (count == 0) break;
  }
  return count;
}

Bytes Workbook(std::vector<std::int64_t> moved, bool tagged) {
  samples::WorkbookKind kind;
  kind.moved = std::move(moved);
  kind.tagged = tagged;
  return samples::MakeWorkbook(kind);
}

const auto kComplete = [](const std::string& records) { return bookmender::HasLastRecord(records); };

TEST(ResidentBookmender, ServesEachFileAsARunOfItsOwnDoesAndStopsAfterItsCount) {
  TempDir dir;
  struct Case {
    std::string mode;
    std::string name;
    Bytes bytes;  // none: the file is missing
    int code;
  };
  const std::vector<Case> cases = {
      {"-check", "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.xls", Workbook({6}, false), 0},
      {"-check", "missing.xls", {}, 51},
      {"-check", "damaged.xls", Workbook({6, 18}, true), 1},
      {"-fix", "fix me.xls", Workbook({0, 12}, true), 1},
  };
  const auto put = [&](const Case& c) {
    DeleteFileW(Wide(dir.file(c.name) + ".bak").c_str());
    if (!c.bytes.empty()) WriteFileBytes(dir.file(c.name), c.bytes);
  };
  const std::wstring bookmender = Wide(Built("Bookmender.exe"));

  // Each file by a run of its own, its records on a pipe of its own.
  std::vector<std::string> ownRecords, ownOutputs;
  for (const Case& c : cases) {
    put(c);
    platform::ResultPipe pipe;
    platform::ScratchOutput output;
    platform::Win32Error error = 0;
    ASSERT_TRUE(pipe.create(bookmender::kMostResultRecords, error) && output.create(error)) << error;
    const platform::ChildEnd end = platform::RunChild(
        bookmender, {{Wide(c.mode), false}, {L"-result:" + pipe.childName(), false}, {Wide(dir.file(c.name)), true}},
        output, platform::ChildTimeLimit::zero(), &pipe);
    EXPECT_TRUE(end.exited && end.code == c.code) << c.name << ": " << end.code;
    std::string records;
    EXPECT_TRUE(pipe.readWaiting(records, bookmender::kMostResultRecords + 1, error)) << error;
    ownRecords.push_back(WithoutRepairTime(records));
    ownOutputs.push_back(Output(output));
  }

  // The same files, each as it was, served by one child that takes no more
  // than their number.
  platform::ResidentChild child;
  platform::ScratchOutput output;
  platform::Win32Error error = 0;
  ASSERT_TRUE(output.create(error) && child.prepare(error)) << error;
  ASSERT_TRUE(child.start(bookmender,
                          {{L"-serve:" + std::to_wstring(cases.size()), false}, {L"-result:" + child.channelName(), false}},
                          &output));
  std::size_t outputSeen = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    put(cases[i]);
    ASSERT_EQ(child.send(Request({cases[i].mode, dir.file(cases[i].name)})), platform::ResidentChild::Sent::kSent)
        << cases[i].name;
    std::string records;
    platform::ChildEnd end;
    ASSERT_EQ(child.await(records, kComplete, bookmender::kMostResultRecords, platform::ChildTimeLimit::zero(), end),
              platform::ResidentChild::Served::kComplete)
        << cases[i].name;
    EXPECT_EQ(WithoutRepairTime(records), ownRecords[i]) << cases[i].name;
    const std::string bytes = Output(output);
    EXPECT_EQ(bytes.substr(outputSeen), ownOutputs[i]) << cases[i].name;
    outputSeen = bytes.size();
  }
  EXPECT_EQ(child.send(Request({"-check", dir.file("damaged.xls")})), platform::ResidentChild::Sent::kNotTaking);
  child.end();
  EXPECT_FALSE(child.running());
  EXPECT_EQ(Left(), 0u);
}

// The stand-in's server runs each request as a run of its own, which
// records its command line; hang-*.xls never ends within the limit.
TEST(ResidentBookmender, AChildEndedAtItsLimitGivesWayToANewOneAndEndLeavesNone) {
  TempDir dir;
  const std::string hang = dir.file("hang-a.xls");
  const std::string three = dir.file("code-3.xls");
  const std::string record = dir.file("record.txt");
  SetEnvironmentVariableW(L"BM_RECORD", Wide(record).c_str());
  platform::ResidentChild child;
  platform::ScratchOutput output;
  platform::Win32Error error = 0;
  ASSERT_TRUE(output.create(error)) << error;
  const auto serve = [&](const std::string& file, platform::ChildTimeLimit limit, std::string& records,
                         platform::ChildEnd& end) {
    if (!child.running()) {
      EXPECT_TRUE(child.prepare(error)) << error;
      EXPECT_TRUE(child.start(Wide(Built("stand_in_bookmender.exe")),
                              {{L"-serve:5", false}, {L"-result:" + child.channelName(), false}}, &output));
    }
    EXPECT_EQ(child.send(Request({"-check", "-beneath:" + dir.path() + "\\", "-identity:1:2", file})),
              platform::ResidentChild::Sent::kSent);
    return child.await(records, kComplete, bookmender::kMostResultRecords, limit, end);
  };

  std::string records;
  platform::ChildEnd end;
  EXPECT_EQ(serve(hang, std::chrono::milliseconds(1000), records, end), platform::ResidentChild::Served::kTimedOut);
  EXPECT_TRUE(end.started && end.timedOut && !end.exited);
  EXPECT_EQ(records, "");
  EXPECT_FALSE(child.running());

  for (int round = 0; round < 2; ++round) {
    records.clear();
    EXPECT_EQ(serve(three, std::chrono::milliseconds(60000), records, end),
              platform::ResidentChild::Served::kComplete);
    EXPECT_EQ(records, "BMR1 3 -\n");
  }
  EXPECT_TRUE(child.running());
  EXPECT_EQ(Output(output), "out " + hang + "\r\nerr " + hang + "\r\n" + "out " + three + "\r\nerr " + three + "\r\n" +
                                "out " + three + "\r\nerr " + three + "\r\n");
  // As Shelfscan quotes a run's arguments.
  const std::string call = " -check \"-beneath:" + dir.path() + "\\\\\" -identity:1:2 \"";
  EXPECT_EQ(Lines(Text(ReadFileBytes(record))),
            (std::vector<std::string>{call + hang + "\"", call + three + "\"", call + three + "\""}));
  SetEnvironmentVariableW(L"BM_RECORD", nullptr);
  child.end();
  EXPECT_FALSE(child.running());
  // Neither the idle server nor the run it was ended in.
  EXPECT_EQ(Left(L"stand_in_bookmender.exe"), 0u);
}

}  // namespace
