// Shelfscan's inputs that need no file system: the new options on the
// command line, the exclusion patterns and the cutting of file lists into
// names. Built for both systems.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FileList.h"
#include "NamePattern.h"
#include "ScanOptions.h"

using shelfscan::Exclusions;
using shelfscan::ListEntry;
using shelfscan::ListSplitter;
using shelfscan::NamePattern;
using shelfscan::ParseArguments;
using shelfscan::ScanOptions;

namespace {

TEST(ShelfscanInputOptions, ListsExclusionsAndAnyCaseAreParsedInOrderAndTheRestStaysSearchPaths) {
  const ScanOptions o = ParseArguments({L"-files:a.txt", L"r1", L"-exclude:.snapshot", L"-files0:-", L"r2",
                                        L"-anycase", L"-exclude:#recycle", L"-files:", L"-files:a.txt"});
  EXPECT_EQ(o.roots, (std::vector<std::wstring>{L"r1", L"r2"}));
  ASSERT_EQ(o.fileLists.size(), 4u);
  // Each list remembers how many search paths came before it; duplicates and
  // an empty name are kept for the start-up to judge.
  const struct {
    const wchar_t* path;
    bool nul;
    std::size_t rootsBefore;
  } lists[] = {{L"a.txt", false, 0}, {L"-", true, 1}, {L"", false, 2}, {L"a.txt", false, 2}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(o.fileLists[i].path, lists[i].path) << i;
    EXPECT_EQ(o.fileLists[i].nulSeparated, lists[i].nul) << i;
    EXPECT_EQ(o.fileLists[i].rootsBefore, lists[i].rootsBefore) << i;
  }
  EXPECT_EQ(o.exclusions, (std::vector<std::wstring>{L".snapshot", L"#recycle"}));
  EXPECT_TRUE(o.anyCase);

  // Exact and case-sensitive like the other options.
  const ScanOptions paths = ParseArguments({L"-Files:x", L"-files", L"-files0", L"-FILES0:x", L"-exclude",
                                            L"-Exclude:x", L"-anycase:", L"-AnyCase", L"-anycase "});
  EXPECT_TRUE(paths.fileLists.empty());
  EXPECT_TRUE(paths.exclusions.empty());
  EXPECT_FALSE(paths.anyCase);
  EXPECT_EQ(paths.roots.size(), 9u);
  EXPECT_FALSE(ParseArguments({L"r"}).anyCase) << "the exact rule is the default";
}

TEST(ShelfscanNamePattern, GlobsMatchWholeNamesInAnyLetterCase) {
  const struct {
    const wchar_t* pattern;
    const wchar_t* name;
    bool matches;
  } cases[] = {
      {L".snapshot", L".snapshot", true},
      {L".snapshot", L".SNAPSHOT", true},
      {L".snapshot", L".snapshots", false},
      {L".snapshot", L"x.snapshot", false},
      {L"#recycle", L"#Recycle", true},
      {L"~$*", L"~$Budget 2026.xls", true},
      {L"~$*", L"~$", true},
      {L"~$*", L"a~$b.xls", false},
      {L"*.xls", L".xls", true},
      {L"*.xls", L"REPORT.XLS", true},
      {L"*.xls", L"a.xlsx", false},
      {L"*.xls", L"a.xls.bak", false},
      {L"?", L"", false},
      {L"?", L"a", true},
      {L"?", L"ab", false},
      {L"a?c", L"abc", true},
      {L"a?c", L"ac", false},
      {L"*a*b*c*", L"xxaxxbxxcxx", true},
      {L"*a*b*c*", L"xxcxxbxxaxx", false},
      {L"*x", L"xax", true},
      {L"**", L"", true},
      {L"", L"", true},
      {L"", L"a", false},
      // Sets, ranges and their negation, in any case.
      {L"[abc]*", L"Bravo", true},
      {L"[abc]*", L"delta", false},
      {L"[!abc]*", L"bravo", false},
      {L"[!abc]*", L"delta", true},
      {L"[^a]", L"A", false},
      {L"[a-c]x", L"Cx", true},
      {L"[A-Z]", L"q", true},
      {L"[!a-z]", L"Q", false},
      {L"[0-9][0-9]", L"42", true},
      {L"[0-9][0-9]", L"4x", false},
      {L"[a-]", L"-", true},
      {L"[]]", L"]", true},
      {L"[!]]", L"]", false},
      {L"[!]]", L"a", true},
      // A "[" without its "]" is itself.
      {L"[", L"[", true},
      {L"a[b", L"a[b", true},
      {L"a[b", L"ab", false},
      {L"[!", L"[!", true},
      // Letters beyond ASCII: Latin-1, Latin Extended-A, Greek, Cyrillic.
      {L"\u00C4RGER*", L"\u00E4rger.xls", true},
      {L"\u0141\u00D3D\u0179", L"\u0142\u00F3d\u017A", true},
      {L"\u0178", L"\u00FF", true},
      {L"\u039F\u0394\u039F\u03A3", L"\u03BF\u03B4\u03BF\u03C2", true},  // a final sigma
      {L"\u041E\u0422\u0427\u0401\u0422*", L"\u043E\u0442\u0447\u0451\u0442 2026.xls", true},
      {L"[\u0430-\u044F]", L"\u0416", true},
      {L"\u00E4", L"a", false},
      // "?" takes one character, whatever its size in code units.
      {L"?.xls", L"\U0001F4C8.xls", true},
      {L"??.xls", L"\U0001F4C8.xls", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NamePattern(c.pattern).matches(c.name), c.matches)
        << "pattern [" << testing::PrintToString(std::wstring(c.pattern)) << "] name ["
        << testing::PrintToString(std::wstring(c.name)) << "]";
  }
}

TEST(ShelfscanNamePattern, ManyStarsAgainstALongNameEndWithoutBlowingUp) {
  // A backtracking matcher tries every way of sharing the name among the
  // stars: 5,000 characters and 12 stars would not end in our lifetime.
  std::wstring pattern;
  for (int i = 0; i < 12; ++i) pattern += L"*a";
  const std::wstring name(5000, L'a');
  EXPECT_TRUE(NamePattern(pattern).matches(name));
  EXPECT_FALSE(NamePattern(pattern + L"b").matches(name));
  EXPECT_FALSE(NamePattern(L"*[!a]*").matches(name));
}

TEST(ShelfscanNamePattern, PatternsThatCannotMatchANameAreRefusedAndLastNamesAreMatched) {
  EXPECT_EQ(shelfscan::PatternProblem(L".snapshot"), L"");
  EXPECT_EQ(shelfscan::PatternProblem(L"~$*"), L"");
  EXPECT_NE(shelfscan::PatternProblem(L""), L"");
  EXPECT_NE(shelfscan::PatternProblem(L"share/.snapshot"), L"");
#ifdef _WIN32
  EXPECT_NE(shelfscan::PatternProblem(L"share\\.snapshot"), L"");
#else
  EXPECT_EQ(shelfscan::PatternProblem(L"back\\slash"), L"") << "a backslash is part of a Linux name";
#endif

  const Exclusions none({});
  EXPECT_TRUE(none.empty());
  EXPECT_FALSE(none.matchLastName(L"a/b.xls"));
  const Exclusions exclusions({L".snapshot", L"~$*"});
  EXPECT_TRUE(exclusions.matchName(L".Snapshot"));
  EXPECT_FALSE(exclusions.matchName(L"snapshot"));
  EXPECT_TRUE(exclusions.matchLastName(L"/srv/share/.snapshot"));
  EXPECT_TRUE(exclusions.matchLastName(L"/srv/share/.snapshot//"));
  EXPECT_TRUE(exclusions.matchLastName(L"~$a.xls"));
  EXPECT_TRUE(exclusions.matchLastName(L"dir/~$a.xls"));
  // Only the last name counts: a file below an excluded folder is listed on
  // purpose.
  EXPECT_FALSE(exclusions.matchLastName(L"/srv/share/.snapshot/hourly.0/a.xls"));
  EXPECT_FALSE(exclusions.matchLastName(L"/srv/~$dir/a.xls"));
#ifdef _WIN32
  EXPECT_TRUE(exclusions.matchLastName(L"C:\\share\\~$a.xls"));
#endif
}

// Every entry `splitter` gives for `bytes` fed in pieces of `piece` bytes.
std::vector<ListEntry> Split(const std::string& bytes, bool nul, bool mark, std::size_t piece) {
  ListSplitter splitter(nul, mark);
  std::vector<ListEntry> entries;
  ListEntry entry;
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    splitter.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    while (splitter.next(entry)) entries.push_back(entry);
  }
  splitter.finish();
  while (splitter.next(entry)) entries.push_back(entry);
  return entries;
}

std::vector<std::string> Names(const std::vector<ListEntry>& entries) {
  std::vector<std::string> names;
  for (const ListEntry& e : entries) names.push_back(e.tooLong ? "<too long>" : e.bytes);
  return names;
}

TEST(ShelfscanFileList, ListsAreCutAtTheirSeparatorWhateverTheReadsPieces) {
  const struct {
    std::string bytes;
    bool nul;
    bool mark;
    std::vector<std::string> names;
  } cases[] = {
      // Lines: LF or CR LF, empty lines skipped, a last line without its end.
      {"a.xls\r\nb c.xls\n\n\r\n\nd,e.txt", false, false, {"a.xls", "b c.xls", "d,e.txt"}},
      // Only the CR right before LF goes; bytes that are not UTF-8 stay.
      {"x\ry\r\r\n\xFF\xFE.xls\n", false, false, {"x\ry\r", "\xFF\xFE.xls"}},
      // NUL: a line feed and a carriage return are a name's own.
      {std::string("new\nline.xls\0cr\r\0\0\0last", 23), true, false, {"new\nline.xls", "cr\r", "last"}},
      {std::string("\0", 1), true, false, {}},
      {"", false, false, {}},
      // A UTF-8 byte-order mark at the start, where asked to skip it.
      {"\xEF\xBB\xBF" "a.xls\n\xEF\xBB\xBF" "b.xls\n", false, true, {"a.xls", "\xEF\xBB\xBF" "b.xls"}},
      {"\xEF\xBB\xBF" "a.xls\n", false, false, {"\xEF\xBB\xBF" "a.xls"}},
      {"\xEF\xBB" "x\n", false, true, {"\xEF\xBB" "x"}},
      {"\xEF\xBB\xBF", false, true, {}},
      {"ab", false, true, {"ab"}},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : {1, 2, 3, 5, 64}) {
      EXPECT_EQ(Names(Split(c.bytes, c.nul, c.mark, piece)), c.names)
          << testing::PrintToString(c.bytes) << " in pieces of " << piece;
    }
  }
}

TEST(ShelfscanFileList, AnEntryTooLongForANameComesOutOnceWithoutItsBytes) {
  const std::string longest(shelfscan::kMaxListEntry, 'n');
  const std::string bytes = "a\n" + longest + "\n" + longest + "x\nb\n" + std::string(3 * shelfscan::kMaxListEntry, 'y');
  for (const std::size_t piece : {std::size_t{4096}, std::size_t{100000}}) {
    const std::vector<ListEntry> entries = Split(bytes, false, false, piece);
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"a", longest, "<too long>", "b", "<too long>"}));
  }
}

}  // namespace
