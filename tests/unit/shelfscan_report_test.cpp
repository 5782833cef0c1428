// The report's JSON and base64, the backup taken from Bookmender's output,
// and the words of the progress line and the summary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ChildRun.h"
#include "Report.h"
#include "Runs.h"
#include "platform/text.h"

namespace {

using shelfscan::Base64;
using shelfscan::JsonString;

TEST(ReportJson, StringsEscapeQuotesBackslashesAndEveryControlCharacter) {
  EXPECT_EQ(JsonString(""), "\"\"");
  EXPECT_EQ(JsonString("a \"b\" \\c/"), "\"a \\\"b\\\" \\\\c/\"");
  EXPECT_EQ(JsonString(std::string("\0\x01\t\n\r\x1B\x1F", 7)), "\"\\u0000\\u0001\\u0009\\u000a\\u000d\\u001b\\u001f\"");
  // DEL and everything from U+0080 on are plain characters in JSON; UTF-8
  // goes through byte for byte.
  EXPECT_EQ(JsonString("\x7F caf\xC3\xA9 \xE2\x80\xA8 \xF0\x9F\x98\x80"), "\"\x7F caf\xC3\xA9 \xE2\x80\xA8 \xF0\x9F\x98\x80\"");
}

TEST(ReportJson, Base64IsTheStandardAlphabetWithPadding) {
  // The test vectors of RFC 4648.
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [bytes, text] : vectors) EXPECT_EQ(Base64(bytes), text) << bytes;
  // Every byte value, and the two characters beyond the letters and digits.
  EXPECT_EQ(Base64(std::string("\xFB\xFF\xBF", 3)), "+/+/");
  EXPECT_EQ(Base64(std::string("\0\0\0", 3)), "AAAA");
}

TEST(ReportJson, PathsThatAreNotTextAreGivenAsTheirExactBytes) {
  EXPECT_EQ(shelfscan::JsonPathMember("path", L"/d/a,\"b\"\n.xls"), "\"path\":\"/d/a,\\\"b\\\"\\u000a.xls\"");
  // A Latin-1 byte of a Linux name is no UTF-8: the whole path goes as base64.
  const std::string latin1 = "/d/caf\xE9.xls";
  EXPECT_EQ(shelfscan::JsonPathMember("path", platform::DecodeNative(latin1)), "\"path_base64\":\"" + Base64(latin1) + "\"");
  EXPECT_EQ(shelfscan::JsonPathMember("backup", platform::DecodeNative("/\xFF")), "\"backup_base64\":\"L/8=\"");
}

TEST(ReportJson, LineHoldsTheMembersInOrder) {
  shelfscan::ReportEntry entry;
  entry.path = L"/d/b.xls";
  entry.label = L"fixed";
  entry.exit = 1;
  entry.backup = L"/d/b.xls.bak";
  entry.seconds = 0.25;
  EXPECT_EQ(shelfscan::ReportLine(entry),
            "{\"path\":\"/d/b.xls\",\"label\":\"fixed\",\"exit\":1,\"backup\":\"/d/b.xls.bak\",\"seconds\":0.250}\n");

  shelfscan::ReportEntry killed;
  killed.path = L"/d/k.xls";
  killed.label = L"scan err";
  killed.signal = 9;
  EXPECT_EQ(shelfscan::ReportLine(killed),
            "{\"path\":\"/d/k.xls\",\"label\":\"scan err\",\"exit\":null,\"signal\":9,\"backup\":null,\"seconds\":0.000}\n");
}

TEST(BackupFromOutput, TheBackupLineGivesThePathBackExactly) {
  const auto output = [](const std::string& name) {
    return "Checking " + name + "\nMaking backup copy of original file\nBackup copy successfully created: " + name +
           ".bak001\r\nReplacing original file with fixed version\nFinal result: A problem was fixed\n";
  };
  EXPECT_EQ(shelfscan::BackupFromOutput(output("/d/a.xls"), L"/d/a.xls"), std::wstring(L"/d/a.xls.bak001"));
  // Bookmender shows undecodable bytes and control characters as U+FFFD;
  // the backup is still the file's own name with the suffix.
  const std::wstring odd = platform::DecodeNative("/d/new\nline \xE9.xls");
  EXPECT_EQ(shelfscan::BackupFromOutput(output("/d/new\xEF\xBF\xBDline \xEF\xBF\xBD.xls"), odd), odd + L".bak001");
  EXPECT_EQ(shelfscan::BackupFromOutput("Making backup copy of original file\nBackup failed with error code 5\n", L"/d/a.xls"),
            std::nullopt);
  EXPECT_EQ(shelfscan::BackupFromOutput("", L"/d/a.xls"), std::nullopt);
  // A name that is no backup of this file is given as shown.
  EXPECT_EQ(shelfscan::BackupFromOutput("Backup copy successfully created: /e/x.bak\n", L"/d/a.xls"),
            std::wstring(L"/e/x.bak"));
}

TEST(Summary, CountsEachLabelThatOccurredInTheManualsOrder) {
  shelfscan::Tally tally;
  for (int i = 0; i < 12; ++i) tally.add(L"[fixable],");
  tally.add(L"[ok],");
  tally.add(L"[scan err],");
  tally.add(L"[container problem],");
  tally.add(L"[container problem]");
  const shelfscan::LabelCounts counts = tally.counts();
  EXPECT_EQ(counts.done(), 16u);
  EXPECT_EQ(counts.failed(), 3u);
  EXPECT_EQ(shelfscan::SummaryLines(counts, 12.34, 0),
            (std::vector<std::wstring>{L"16 files checked in 12.3 s", L"  [ok] 1", L"  [fixable] 12",
                                       L"  [container problem] 2", L"  [scan err] 1"}));
  EXPECT_EQ(shelfscan::SummaryLines(counts, 1, 1).back(), L"1 file passed over for the letter case of its extension");
  EXPECT_EQ(shelfscan::SummaryLines(shelfscan::LabelCounts(), 0.04, 0), std::vector<std::wstring>{L"0 files checked in 0.0 s"});

  EXPECT_EQ(shelfscan::StatusText(counts, 2.0), L"16 files, 8.0 files/s, 12 fixable, 0 fixed, 3 failed");
  EXPECT_EQ(shelfscan::StatusText(counts, 0.1), L"16 files, - files/s, 12 fixable, 0 fixed, 3 failed");
}

}  // namespace
