// The compound-file layer reading sound files: both versions, reads at any
// position, seeks, lookups, the DIFAT, and the real corpus.
#include <algorithm>
#include <filesystem>
#include <map>
#include <tuple>

#include "cfb_test_util.h"
#include "cfb_writer.h"
#include "compound_file_fixture.h"
#include "sha256.h"

namespace {

using cfbtest::Bytes;
using cfbtest::CompoundFileTest;
using cfbtest::kRead;
using cfbtest::Open;
using cfbtest::Pattern;
using cfbtest::ReadRest;
using cfbtest::Sample;
using platform::EntryType;
using platform::Storage;
using platform::Stream;
using testsupport::CfbWriter;

// --- Reading -------------------------------------------------------------

class ReadBothVersions : public CompoundFileTest,
                         public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(ReadBothVersions, StreamsStorageTreeAndEntries) {
  const auto [version, reverse] = GetParam();
  Sample sample(version, reverse);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(sample.bytes, storage), S_OK);
  EXPECT_EQ(storage->sectorSize(), version == 4 ? 4096u : 512u);

  const std::map<std::wstring, Bytes> expected = {
      {L"Workbook", Pattern(10000, 1)}, {L"Small", Pattern(100, 2)},   {L"Empty", {}},
      {L"Edge4095", Pattern(4095, 3)},  {L"Edge4096", Pattern(4096, 4)}};
  for (const auto& [name, data] : expected) {
    auto s = stream(*storage, name);
    ASSERT_TRUE(s);
    std::uint64_t size = 0;
    EXPECT_EQ(s->stat(size), S_OK);
    EXPECT_EQ(size, data.size());
    Bytes got;
    EXPECT_EQ(ReadRest(*s, got, 777), S_OK);
    EXPECT_EQ(got, data) << platform::EncodeNative(name);
  }

  // Streams of a nested storage are not root streams, and a storage is not a stream.
  std::shared_ptr<Stream> none;
  EXPECT_EQ(storage->openStream(L"Inner", none), STG_E_FILENOTFOUND);
  EXPECT_EQ(storage->openStream(L"MBD0001", none), STG_E_FILENOTFOUND);
  EXPECT_EQ(storage->openStream(L"Missing", none), STG_E_FILENOTFOUND);
  EXPECT_FALSE(none);

  const auto entries = storage->entries();
  ASSERT_EQ(entries.size(), 9u);
  EXPECT_EQ(entries[0].type, EntryType::kRoot);
  EXPECT_EQ(entries[0].id, 0u);
  std::map<std::uint32_t, std::size_t> position;
  for (std::size_t i = 0; i < entries.size(); ++i) position[entries[i].id] = i;
  for (const auto& e : entries) {
    ASSERT_TRUE(position.count(e.parent));
    if (e.id != 0) {
      EXPECT_LT(position[e.parent], position[e.id]) << "parent listed after child";
    }
  }
  auto inner = std::find_if(entries.begin(), entries.end(), [](const auto& e) { return e.name == u"Inner"; });
  ASSERT_NE(inner, entries.end());
  EXPECT_EQ(inner->type, EntryType::kStream);
  EXPECT_EQ(inner->size, 5000u);
  EXPECT_EQ(inner->parent, sample.writer.entryId(sample.storage));
  std::shared_ptr<Stream> s;
  ASSERT_EQ(storage->openStreamEntry(inner->id, s), S_OK);
  Bytes got;
  EXPECT_EQ(ReadRest(*s, got), S_OK);
  EXPECT_EQ(got, Pattern(5000, 5));
  EXPECT_EQ(storage->openStreamEntry(sample.writer.entryId(sample.storage), s), STG_E_FILENOTFOUND);
  EXPECT_EQ(storage->openStreamEntry(0, s), STG_E_FILENOTFOUND);
  EXPECT_EQ(storage->openStreamEntry(100000, s), STG_E_FILENOTFOUND);
}

INSTANTIATE_TEST_SUITE_P(Versions, ReadBothVersions,
                         ::testing::Combine(::testing::Values(3, 4), ::testing::Bool()));

TEST_F(CompoundFileTest, ReadsAtAnyPositionAndSize) {
  // Reverse chains: no two stream neighbours are file neighbours, so every
  // read crosses the cache's run boundaries.
  for (bool reverse : {false, true}) {
    CfbWriter w(3);
    w.setReverseChains(reverse);
    const Bytes big = Pattern(300000, 9), small = Pattern(3000, 10);
    w.addStream(CfbWriter::kRoot, u"Big", big);
    w.addStream(CfbWriter::kRoot, u"Small", small);
    std::shared_ptr<Storage> storage;
    ASSERT_EQ(openBytes(w.build(), storage), S_OK);
    for (const auto& [name, data] : {std::make_pair(L"Big", big), std::make_pair(L"Small", small)}) {
      auto s = stream(*storage, name);
      ASSERT_TRUE(s);
      std::uint64_t pos = 0;
      std::uint32_t step = 1;
      std::vector<std::uint8_t> buf(100000);
      while (pos < data.size()) {
        const std::uint32_t want = std::min<std::uint32_t>(step, static_cast<std::uint32_t>(buf.size()));
        std::uint32_t done = 0;
        ASSERT_EQ(s->read(buf.data(), want, done), S_OK);
        const std::uint64_t expect = std::min<std::uint64_t>(want, data.size() - pos);
        ASSERT_EQ(done, expect) << "at " << pos;
        ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + done, data.begin() + pos)) << "at " << pos;
        pos += done;
        step = step * 3 + 7;  // 1, 10, 37, ... then large reads past the window
        if (step > 90000) step = 5;
        // Now and then step back so the window is refilled from behind.
        if (pos > 600 && step % 2 == 0) {
          std::uint64_t at = 0;
          ASSERT_EQ(s->seek(-513, platform::kSeekCur, &at), S_OK);
          pos = at;
        }
      }
      std::uint32_t done = 1;
      EXPECT_EQ(s->read(buf.data(), 10, done), S_OK);
      EXPECT_EQ(done, 0u);
      // One read of the whole stream, run after run straight into the buffer.
      Bytes whole(data.size() + 100);
      ASSERT_EQ(s->seek(0, platform::kSeekSet, nullptr), S_OK);
      ASSERT_EQ(s->read(whole.data(), static_cast<std::uint32_t>(whole.size()), done), S_OK);
      ASSERT_EQ(done, data.size());
      whole.resize(done);
      EXPECT_EQ(whole, data);
    }
  }
}

TEST_F(CompoundFileTest, SeekOrigins) {
  Sample sample(3);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(sample.bytes, storage), S_OK);
  auto s = stream(*storage, L"Workbook");
  const Bytes data = Pattern(10000, 1);
  std::uint64_t pos = 0;
  std::uint8_t b[4];
  std::uint32_t done = 0;

  ASSERT_EQ(s->seek(9000, platform::kSeekSet, &pos), S_OK);
  EXPECT_EQ(pos, 9000u);
  ASSERT_EQ(s->seek(-1000, platform::kSeekCur, &pos), S_OK);
  EXPECT_EQ(pos, 8000u);
  ASSERT_EQ(s->read(b, 4, done), S_OK);
  EXPECT_TRUE(std::equal(b, b + 4, data.begin() + 8000));
  ASSERT_EQ(s->seek(-4, platform::kSeekEnd, &pos), S_OK);
  EXPECT_EQ(pos, 9996u);
  ASSERT_EQ(s->read(b, 4, done), S_OK);
  EXPECT_TRUE(std::equal(b, b + 4, data.begin() + 9996));

  // Past the end is a position; reading there gives nothing.
  ASSERT_EQ(s->seek(5000, platform::kSeekEnd, &pos), S_OK);
  EXPECT_EQ(pos, 15000u);
  EXPECT_EQ(s->read(b, 4, done), S_OK);
  EXPECT_EQ(done, 0u);

  // A negative result, an overflow or an unknown origin leaves the position alone.
  EXPECT_EQ(s->seek(-1, platform::kSeekSet, &pos), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(s->seek(-15001, platform::kSeekCur, &pos), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(s->seek(INT64_MIN, platform::kSeekEnd, nullptr), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(s->seek(0, 3, nullptr), STG_E_INVALIDFUNCTION);
  ASSERT_EQ(s->seek(INT64_MAX, platform::kSeekSet, nullptr), S_OK);
  EXPECT_EQ(s->seek(INT64_MAX, platform::kSeekCur, nullptr), S_OK);
  EXPECT_EQ(s->seek(2, platform::kSeekCur, nullptr), STG_E_INVALIDFUNCTION);
  ASSERT_EQ(s->seek(-10000, platform::kSeekEnd, nullptr), S_OK);
  ASSERT_EQ(s->seek(0, platform::kSeekCur, &pos), S_OK);
  EXPECT_EQ(pos, 0u);
}

TEST_F(CompoundFileTest, LookupIgnoresCaseOfAsciiAndLatin1) {
  CfbWriter w(3);
  w.addStream(CfbWriter::kRoot, u"Workbook", Pattern(10, 1));
  w.addStream(CfbWriter::kRoot, u"\u00C4rger\u00FF", Pattern(20, 2));
  w.addStream(CfbWriter::kRoot, u"\x05" u"SummaryInformation", Pattern(30, 3));
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(w.build(), storage), S_OK);
  std::uint64_t size = 0;
  for (const wchar_t* name : {L"WORKBOOK", L"workbook", L"WorkBook"}) {
    auto s = stream(*storage, name);
    ASSERT_TRUE(s);
    s->stat(size);
    EXPECT_EQ(size, 10u);
  }
  auto latin = stream(*storage, L"\u00E4RGER\u0178");
  ASSERT_TRUE(latin);
  latin->stat(size);
  EXPECT_EQ(size, 20u);
  auto summary = stream(*storage, L"\x05summaryinformation");
  ASSERT_TRUE(summary);
  std::shared_ptr<Stream> none;
  EXPECT_EQ(storage->openStream(L"Workbook ", none), STG_E_FILENOTFOUND);
  EXPECT_EQ(storage->openStream(L"Workboo", none), STG_E_FILENOTFOUND);
  EXPECT_EQ(storage->openStream(L"", none), STG_E_FILENOTFOUND);
}

TEST_F(CompoundFileTest, LookupDoesNotTrustTreeOrder) {
  CfbWriter w(4);
  w.setUnorderedTree(true);
  for (int i = 0; i < 40; ++i) w.addStream(CfbWriter::kRoot, u"S" + std::u16string(1, u'A' + i % 26) + std::u16string(static_cast<std::size_t>(i / 26), u'x'), Pattern(i + 1, i));
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(w.build(), storage), S_OK);
  EXPECT_EQ(storage->entries().size(), 41u);
  for (int i = 0; i < 40; ++i) {
    std::wstring name = L"s" + std::wstring(1, L'a' + i % 26) + std::wstring(static_cast<std::size_t>(i / 26), L'X');
    auto s = stream(*storage, name);
    ASSERT_TRUE(s);
    std::uint64_t size = 0;
    s->stat(size);
    EXPECT_EQ(size, static_cast<std::uint64_t>(i + 1));
  }
}

TEST_F(CompoundFileTest, DifatHoldsFatSectorsPast109) {
  // 8 MiB in 512-byte sectors needs about 130 FAT sectors.
  CfbWriter w(3);
  const Bytes big = Pattern(8u << 20, 7);
  w.addStream(CfbWriter::kRoot, u"Workbook", big);
  const Bytes bytes = w.build();
  ASSERT_GT(w.fatSectors().size(), 109u);
  ASSERT_EQ(w.difatSectors().size(), 1u);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(bytes, storage), S_OK);
  auto s = stream(*storage, L"Workbook");
  Bytes got;
  EXPECT_EQ(ReadRest(*s, got), S_OK);
  EXPECT_EQ(testsupport::Sha256Hex(got), testsupport::Sha256Hex(big));
  EXPECT_EQ(got.size(), big.size());
}

// --- The real corpus -------------------------------------------------------

struct CorpusExpectation {
  const char* file;
  HRESULT open;
  const wchar_t* stream;   // the workbook stream
  std::uint64_t size;      // its size as the directory says
  std::uint64_t readable;  // bytes readable before a failure (== size when sound)
  const char* sha256;      // of the readable bytes, computed with an independent reader
};

// Digests from python3-olefile (0.46): `OleFileIO(path).openstream(name).read()`.
const CorpusExpectation kCorpus[] = {
    {"13224.xls", S_OK, L"Workbook", 4096, 4096, "8237b00751b7952918d037750d9b2b86f034bfa32661d9ecff379a583ed90542"},
    {"31749.xls", S_OK, L"Workbook", 83475, 83475, "afbf110dbc8b0f95ffc1aac8e31dfc8b4c8040a81ac2e7e5c3ec74b4b6d270d5"},
    {"44861.xls", S_OK, L"Workbook", 57845, 57845, "3ab4c800ad0b639a4debdddc723d23ce704ca2f41d529ae8fb3c97edb1acbe6f"},
    {"46137.xls", S_OK, L"Workbook", 47666, 47666, "1ffdb43254b65081125f666501d338053e9201f6f1ea4ddb37081ec75a16f0ac"},
    {"47251.xls", S_OK, L"Workbook", 27401, 27401, "323fb7496fe1144bc6222ad1a7d13a18b0ec9efc4baf56802ba278e19f9919f8"},
    {"61300.xls", S_OK, L"Workbook", 22218, 22218, "c4558927982cc07a1a8febef45ef89c241a9e4d4a214584fd1c9c39cdc974208"},
    {"ConditionalFormattingSamples.xls", S_OK, L"Workbook", 1314225, 1314225, "99305abd97f40bfc2fa4c052701bbebc971c1feb12278e8b76ecfbaca777676f"},
    {"WithChart.xls", S_OK, L"Workbook", 17401, 17401, "d30ff73381742120a93e84cff6f8f8aad609782313f9619640231a8dddca1a48"},
    {"WithThreeCharts.xls", S_OK, L"Workbook", 28892, 28892, "b1bc84cd11c5ae10d803e069bce6d9bfd6c6304b3c6e3095b1310fcfdde65fe0"},
    {"drawings.xls", S_OK, L"Workbook", 829719, 829719, "ea6de7f07173834b73af0d0c5986a61407f5bfdb81bb3a7166e468b1255eb6a3"},
    {"password.xls", S_OK, L"Workbook", 18438, 18438, "28ee5f1921981c2f422093bed4d4215958159bfcdc306ba7755e082f839a3936"},
    {"testEXCEL_95.xls", S_OK, L"Book", 3748, 3748, "7b3bf50dd50dade73bc4c7dbccf3ead26b5850f3dd219265a20596a8d25c09b1"},
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-4651309315719168.xls", S_OK, L"Workbook", 4787, 4787, "03081f5f7176373a3ebcb415b8c2d459c2aea3937554e92291f45f5fde2fc819"},
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-4657005060816896.xls", S_OK, L"Workbook", 62167, 62167, "7e020e081df406b5faa650c113068edff386fd7ee800330c8a78919c5ed63e4f"},
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-4819588401201152.xls", S_OK, L"Workbook", 2976521, 1646, "91a032da483390acf11086eb2c1eb22fa669f875591750c0ba7c5e37477eb8e2"},
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-4977868385681408.xls", S_OK, L"Workbook", 37864, 37864, "bb14aff0b24540689d40df7f9b7ad0d22838f3fa5b42009a682d8929beff0cad"},
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-5175219985448960.xls", S_OK, L"Workbook", 14042, 429, "24e377d0d204de736699b907c43a32f30715ca6455fb9d816839b99c63331467"},
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-5285517825277952.xls", S_OK, L"Workbook", 37864, 37864, "a32f1f0e33a2ee46996aff694d13b9c1d7352b61d51a17fabf73dba267ba5cff"},
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-5436547081830400.xls", S_OK, L"Workbook", 37864, 37864, "eb0aa638539073cf1649cc19c13e2e77afd4e2d1137c82e82c5e3c4c5fa7454c"},
    // Odd name length (19): we read the name up to its NUL, "Workbook";
    // the digest is of olefile's stream under its damaged name.
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-5786329142919168.xls", S_OK, L"Workbook", 27401, 12440, "961496c51f9032046b60377dc5180dabb83b180110c9a5997130e471fc74a60c"},
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-5816431116615680.xls", S_OK, L"Workbook", 38005, 38005, "84ad0c5ac8e634dd1e6854c244d6437f89c867b893164b3716719e8b607148b7"},
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-5889658057523200.xls", S_OK, L"Workbook", 2976521, 11826, "47f0d5cc7483dca275e6d154d97a3a1d3db12c6c03cf2fd127137c74919bbf72"},
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-6137883240824832.xls", STG_E_INVALIDHEADER, L"", 0, 0, ""},  // mini sector shift 19265
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-6322470200934400.xls", S_OK, L"Workbook", 17379, 1811, "a00648f4ddbdd35c18fc5d621afa0a5f2141451611fc8a982a9f5a7aca5b8d0a"},
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-6483562584932352.xls", S_OK, L"Workbook", 33477, 9038, "5e26c1646f07a27f4c457b5e87a0530a1b1607ceb68686cce390daf29a4500a8"},
    {"malformed/clusterfuzz-testcase-minimized-POIHSSFFuzzer-6537773940867072.xls", STG_E_INVALIDHEADER, L"", 0, 0, ""},  // 808150272 mini FAT sectors
    {"malformed/poi-fuzz.xls", S_OK, L"Workbook", 4096, 4096, "6181aaa75166a775aad7066fb66475a59fee2707a13780d373ca6a0978767b5a"},
};

TEST(CompoundFileCorpus, EveryFileOpensOrFailsAsDocumented) {
  const std::string dir = cfbtest::CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "corpus not found beside the repository (../shared/corpus)";
  std::size_t checked = 0;
  for (const std::string sub : {"", "malformed/"}) {
    for (const auto& item : std::filesystem::directory_iterator(dir + "/" + sub)) {
      if (item.path().extension() != ".xls") continue;
      const std::string name = sub + item.path().filename().string();
      const auto expect = std::find_if(std::begin(kCorpus), std::end(kCorpus),
                                       [&](const CorpusExpectation& e) { return name == e.file; });
      ASSERT_NE(expect, std::end(kCorpus)) << "no expectation recorded for " << name;
      std::shared_ptr<Storage> storage;
      ASSERT_EQ(Open(item.path().string(), kRead, storage), expect->open) << name;
      ++checked;
      if (expect->open != S_OK) continue;
      std::shared_ptr<Stream> s;
      if (*expect->stream == L'\0') {
        // No stream of either workbook name (e.g. a damaged name).
        EXPECT_EQ(storage->openStream(L"Workbook", s), STG_E_FILENOTFOUND) << name;
        EXPECT_EQ(storage->openStream(L"Book", s), STG_E_FILENOTFOUND) << name;
        continue;
      }
      ASSERT_EQ(storage->openStream(expect->stream, s), S_OK) << name;
      std::uint64_t size = 0;
      s->stat(size);
      EXPECT_EQ(size, expect->size) << name;
      Bytes got;
      const HRESULT hr = ReadRest(*s, got);
      EXPECT_EQ(hr, expect->readable == expect->size ? S_OK : STG_E_DOCFILECORRUPT) << name;
      EXPECT_EQ(got.size(), expect->readable) << name;
      EXPECT_EQ(testsupport::Sha256Hex(got), expect->sha256) << name;
      // Every other stream reads to its end or to a failure, never beyond its size.
      for (const auto& e : storage->entries()) {
        if (storage->openStreamEntry(e.id, s) != S_OK) continue;
        const HRESULT r = ReadRest(*s, got);
        EXPECT_TRUE(r == S_OK || r == STG_E_DOCFILECORRUPT) << name;
        EXPECT_LE(got.size(), e.size) << name;
      }
    }
  }
  EXPECT_EQ(checked, std::size(kCorpus));
}

}  // namespace
