// The report's JSON and base64, the result record that names the backup,
// and the words of the progress line and the summary.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ChildRun.h"
#include "Report.h"
#include "ReportReader.h"
#include "Runs.h"
#include "Status.h"
#include "frontend/ResultRecord.h"
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

TEST(ReportJson, TimesAreUtcWithNanosecondsAndReadBackExactly) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "1970-01-01T00:00:00.000000000Z"},
      {951782400123456789ull, "2000-02-29T00:00:00.123456789Z"},
      {1798761599999999999ull, "2026-12-31T23:59:59.999999999Z"},
      {18446744073709551615ull, "2554-07-21T23:34:33.709551615Z"},
  };
  for (const auto& [ns, text] : cases) {
    EXPECT_EQ(shelfscan::UtcTimeText(ns), text);
    std::uint64_t back = 1;
    EXPECT_TRUE(shelfscan::ParseUtcTime(text, back)) << text;
    EXPECT_EQ(back, ns);
  }
  std::uint64_t ns = 0;
  for (const char* bad : {"2001-02-29T00:00:00.000000000Z", "2026-12-07T24:00:00.000000000Z",
                          "2554-07-21T23:34:33.709551616Z", "2026-12-07T02:05:33.12345678Z",
                          "2026-12-07 02:05:33.123456789Z", "1969-12-31T23:59:59.999999999Z"}) {
    EXPECT_FALSE(shelfscan::ParseUtcTime(bad, ns)) << bad;
  }
}

// What a resume or an undo reads back is exactly what was written, and a
// line in any other form is refused, not guessed at.
TEST(ReportReader, ReadsBackEveryLineItWritesAndRefusesAnyOther) {
  shelfscan::ReportEntry proven;
  proven.path = platform::NameFromBytes("/d/\"\x01\xff b.xls");
  proven.label = L"fixed";
  proven.exit = 1;
  proven.backup = proven.path + L".bak";
  proven.root = L"/d";
  proven.proof = bookmender::RepairProof{std::string(64, 'a'), 4096, 1798761599999999999ull, std::string(64, '0')};
  proven.seconds = 1.5;
  shelfscan::ReportEntry killed;
  killed.path = L"/d/\u00e9\U0001F600.xls";
  killed.label = L"scan err";
  killed.signal = 9;
  for (const shelfscan::ReportEntry& entry : {proven, killed}) {
    std::string line = shelfscan::ReportLine(entry);
    line.pop_back();
    shelfscan::ReportEntry read;
    std::wstring problem;
    ASSERT_TRUE(shelfscan::ParseReportLine(line, read, problem)) << line << ": " << platform::EncodeNative(problem);
    EXPECT_EQ(shelfscan::ReportLine(read), line + "\n");
  }
  EXPECT_NE(shelfscan::ReportLine(proven).find(",\"root\":\"/d\",\"sha256\":\"" + std::string(64, 'a') +
                                                         "\",\"size\":4096,\"mtime\":\"2026-12-31T23:59:59.999999999Z\""),
            std::string::npos);

  const std::string ok = "{\"path\":\"/d/a.xls\",\"label\":\"ok\",\"exit\":0,\"backup\":null,\"seconds\":0.010}";
  const auto replaced = [](std::string line, const std::string& from, const std::string& to) {
    return line.replace(line.find(from), from.size(), to);
  };
  const auto with = [&](const std::string& from, const std::string& to) { return replaced(ok, from, to); };
  const std::string digest = "\"" + std::string(64, 'a') + "\"";
  const std::string proof = ",\"root\":\"/d\",\"sha256\":" + digest + ",\"size\":1,\"mtime\":\"2026-12-31T23:59:59.999999999Z\",\"backup_sha256\":" + digest;
  shelfscan::ReportEntry read;
  std::wstring problem;
  ASSERT_TRUE(shelfscan::ParseReportLine(ok, read, problem));
  ASSERT_TRUE(shelfscan::ParseReportLine(with(",\"seconds", proof + ",\"seconds"), read, problem));
  for (const std::string& bad : {
           std::string(), ok + " ", " " + ok, ok + "\r", with(":0,", ": 0,"), with("ok", "fine"),
           with("\"exit\":0", "\"exit\":00"), with("\"exit\":0", "\"exit\":-1"), with("\"exit\":0", "\"exit\":\"0\""),
           with("\"exit\":0,", ""), with("\"path\":\"/d/a.xls\",", ""), with("/d/a.xls", ""),
           with("\"path\"", "\"path_base64\""), with("\"path\":\"/d/a.xls\"", "\"path\":\"/d/a.xls\",\"path_base64\":\"L2Q=\""),
           with("\"path\":\"/d/a.xls\"", "\"path_base64\":\"L2Q\""), with("a.xls", "a\\ud800.xls"),
           with("a.xls", "a\\q.xls"), with("a.xls", "a\x01.xls"), with("a.xls", "a\xff.xls"),
           with(",\"seconds", ",\"extra\":1,\"seconds"), with(",\"seconds", ",\"label\":\"ok\",\"seconds"),
           with(",\"seconds", proof.substr(0, proof.find(",\"size")) + ",\"seconds"),
           with(",\"seconds", replaced(proof, "\"size\":1", "\"size\":1.5") + ",\"seconds"),
           with(",\"seconds", ",\"root\":\"/d\",\"sha256\":\"A" + std::string(63, 'a') + "\",\"size\":1,\"mtime\":\"2026-12-31T23:59:59.999999999Z\",\"backup_sha256\":" + digest + ",\"seconds"),
           with("0.010}", "0.010}}"), with("0.010", "1e")}) {
    EXPECT_FALSE(shelfscan::ParseReportLine(bad, read, problem)) << bad;
  }
}

TEST(ReportReader, FinalOutcomesAreBookmendersResultsButInUse) {
  for (const wchar_t* word : shelfscan::kStatusWords) {
    const std::wstring w = word;
    const bool final = w != L"sharing violation" && w != L"timed out" && w != L"unexpected" && w != L"scan err";
    EXPECT_EQ(shelfscan::IsFinalLabel(w), final) << platform::EncodeNative(w);
  }
}

// The record as Bookmender writes it and as Shelfscan reads it: strictly,
// so that anything but a well-formed record names no backup.
TEST(ResultRecord, WrittenAndReadBackStrictly) {
  const std::string odd("/d/new\nline \xE9.xls.bak");
  EXPECT_EQ(bookmender::ResultRecord(1, odd), "BMR1 1 2f642f6e65770a6c696e6520e92e786c732e62616b\n");
  EXPECT_EQ(bookmender::ResultRecord(0, std::nullopt), "BMR1 0 -\n");
  EXPECT_EQ(bookmender::ResultRecord(1, std::string(bookmender::kMostBackupBytes + 1, 'a')), "");
  int code = -1;
  std::optional<std::string> backup;
  ASSERT_TRUE(bookmender::ParseResultRecord(bookmender::ResultRecord(56, odd), code, backup));
  EXPECT_EQ(code, 56);
  EXPECT_EQ(backup, odd);
  ASSERT_TRUE(bookmender::ParseResultRecord("BMR1 57 -\n", code, backup));
  EXPECT_EQ(code, 57);
  EXPECT_EQ(backup, std::nullopt);
  for (const char* bad : {"", "BMR1 1 -", "BMR1 1 -\n\n", "BMR2 1 -\n", "BMR1 01 -\n", "BMR1 -1 -\n", "BMR1  1 -\n",
                          "BMR1 1 2F\n", "BMR1 1 2\n", "BMR1 1 \n", "BMR1 1 zz\n", "BMR1 99999999999 -\n",
                          "Backup copy successfully created: /d/a.xls.bak\n"}) {
    EXPECT_FALSE(bookmender::ParseResultRecord(bad, code, backup)) << bad;
  }
  // The line written once the backup is made, then the last line.
  const std::string made = bookmender::ResultRecord(bookmender::kBackupOnly, odd);
  EXPECT_EQ(made, "BMR1 - 2f642f6e65770a6c696e6520e92e786c732e62616b\n");
  EXPECT_EQ(bookmender::ResultRecord(bookmender::kBackupOnly, std::nullopt), "");
  bookmender::RepairProof proof;
  proof.sha256 = std::string(64, 'a');
  proof.size = 40824832;
  proof.mtimeNs = 1796812800123456789u;
  proof.backupSha256 = std::string(63, '0') + "f";
  const std::string left = bookmender::ProofRecord(proof);
  EXPECT_EQ(left, "BMR1 = " + proof.sha256 + " 40824832 1796812800123456789 " + proof.backupSha256 + "\n");
  bookmender::RepairProof odd64 = proof;
  odd64.sha256[0] = 'A';
  EXPECT_EQ(bookmender::ProofRecord(odd64), "");
  struct Lines {
    std::string bytes;
    bool valid;
    std::optional<int> code;
    bool named;
    bool proven = false;
  };
  const Lines lines[] = {
      {made + left + bookmender::ResultRecord(1, odd), true, 1, true, true},
      {made + left, true, std::nullopt, true, true},
      {left + bookmender::ResultRecord(1, odd), false, std::nullopt, false},
      {made + bookmender::ResultRecord(1, odd) + left, false, std::nullopt, false},
      {made + left + left + bookmender::ResultRecord(1, odd), false, std::nullopt, false},
      {made + "BMR1 = " + proof.sha256 + " 040824832 1 " + proof.backupSha256 + "\n", false, std::nullopt, false},
      {made + "BMR1 = " + proof.sha256 + " 18446744073709551616 1 " + proof.backupSha256 + "\n", false,
       std::nullopt, false},
      {made + "BMR1 = " + proof.sha256 + " 1 1\n", false, std::nullopt, false},
      {made + bookmender::ResultRecord(1, odd), true, 1, true},
      {made, true, std::nullopt, true},
      {bookmender::ResultRecord(1, odd), true, 1, true},
      {bookmender::ResultRecord(0, std::nullopt), true, 0, false},
      {bookmender::ResultRecord(1, odd) + made, false, std::nullopt, false},
      {made + made, false, std::nullopt, false},
      {made + bookmender::ResultRecord(1, odd + "x"), false, std::nullopt, false},
      {made + bookmender::ResultRecord(1, std::nullopt), false, std::nullopt, false},
      {made + bookmender::ResultRecord(1, odd) + "\n", false, std::nullopt, false},
      {"BMR1 - -\n", false, std::nullopt, false},
  };
  for (const Lines& l : lines) {
    SCOPED_TRACE(l.bytes);
    bookmender::ResultRecords records;
    ASSERT_EQ(bookmender::ParseResultRecords(l.bytes, records), l.valid);
    if (!l.valid) continue;
    EXPECT_EQ(records.code, l.code);
    EXPECT_EQ(records.backup, l.named ? std::optional<std::string>(odd) : std::nullopt);
    EXPECT_EQ(records.proof, l.proven ? std::optional<bookmender::RepairProof>(proof) : std::nullopt);
  }
}

TEST(Summary, CountsEachLabelThatOccurredInTheManualsOrder) {
  shelfscan::Tally tally;
  for (int i = 0; i < 12; ++i) tally.add(shelfscan::StatusOf(1, false));
  tally.add(shelfscan::StatusOf(0, true));
  tally.add(shelfscan::kScanErrorStatus);
  tally.add(shelfscan::StatusOf(3, false));
  tally.add(shelfscan::StatusOf(3, true));
  const shelfscan::LabelCounts counts = tally.counts();
  EXPECT_EQ(counts.done(), 16u);
  EXPECT_EQ(counts.failed(), 3u);
  shelfscan::Tally undo;  // a restored file is no failure
  undo.add(shelfscan::StatusOf(bookmender::Restored, false));
  undo.add(shelfscan::StatusOf(bookmender::ChangedSinceRepair, false));
  EXPECT_EQ(undo.counts().failed(), 1u);
  EXPECT_EQ(shelfscan::SummaryLines(counts, 12.34, 0),
            (std::vector<std::wstring>{L"16 files checked in 12.3 s", L"  [ok] 1", L"  [fixable] 12",
                                       L"  [container problem] 2", L"  [scan err] 1"}));
  EXPECT_EQ(shelfscan::SummaryLines(counts, 1, 1).back(), L"1 file passed over for the letter case of its extension");
  EXPECT_EQ(shelfscan::SummaryLines(shelfscan::LabelCounts(), 0.04, 0), std::vector<std::wstring>{L"0 files checked in 0.0 s"});

  EXPECT_EQ(shelfscan::StatusText(counts, 2.0), L"16 files, 8.0 files/s, 12 fixable, 0 fixed, 3 failed");
  EXPECT_EQ(shelfscan::StatusText(counts, 0.1), L"16 files, - files/s, 12 fixable, 0 fixed, 3 failed");
}

}  // namespace
