// The compound-file layer: reading both versions, lookups, damage, opening
// and sharing rules, in-place writes, and the real corpus.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <tuple>

#include "cfb_test_util.h"
#include "platform/byte_reader.h"
#include "cfb_writer.h"
#include "sha256.h"

namespace {

using cfbtest::Bytes;
using cfbtest::Open;
using cfbtest::Pattern;
using cfbtest::ReadRest;
using platform::EntryType;
using platform::Storage;
using platform::StorageMode;
using platform::Stream;
namespace cfb = platform::cfb;
using testsupport::CfbWriter;
using testsupport::PutU16;
using testsupport::PutU32;

constexpr auto kRead = StorageMode::kReadDenyWrite;
constexpr auto kWrite = StorageMode::kReadWriteExclusive;

// A small workbook-like file: regular and mini streams (including the sizes
// either side of the cutoff), an empty stream and a nested storage.
struct Sample {
  explicit Sample(int version, bool reverse = false) : writer(version) {
    writer.setReverseChains(reverse);
    workbook = writer.addStream(CfbWriter::kRoot, u"Workbook", Pattern(10000, 1));
    small = writer.addStream(CfbWriter::kRoot, u"Small", Pattern(100, 2));
    writer.addStream(CfbWriter::kRoot, u"Empty", {});
    writer.addStream(CfbWriter::kRoot, u"Edge4095", Pattern(4095, 3));
    writer.addStream(CfbWriter::kRoot, u"Edge4096", Pattern(4096, 4));
    storage = writer.addStorage(CfbWriter::kRoot, u"MBD0001");
    inner = writer.addStream(storage, u"Inner", Pattern(5000, 5));
    writer.addStream(storage, u"\x01" u"CompObj", Pattern(70, 6));
    bytes = writer.build();
  }
  CfbWriter writer;
  int workbook, small, storage, inner;
  Bytes bytes;
};

class CompoundFileTest : public ::testing::Test {
 protected:
  // Writes `bytes` to a fresh file and opens it.
  HRESULT openBytes(const Bytes& bytes, std::shared_ptr<Storage>& out, StorageMode mode = kRead) {
    path_ = folder_.file("f" + std::to_string(counter_++) + ".xls");
    cfbtest::WriteFile(path_, bytes);
    return Open(path_, mode, out);
  }
  // Opens a root stream; on failure (already reported) a stand-in whose every
  // call fails, so that the test goes on without dereferencing null.
  std::shared_ptr<Stream> stream(Storage& s, const std::wstring& name) {
    struct Missing final : Stream {
      HRESULT stat(std::uint64_t&) override { return E_FAIL; }
      HRESULT read(void*, std::uint32_t, std::uint32_t& done) override { return done = 0, E_FAIL; }
      HRESULT write(const void*, std::uint32_t, std::uint32_t& done) override { return done = 0, E_FAIL; }
      HRESULT seek(std::int64_t, std::uint32_t, std::uint64_t*) override { return E_FAIL; }
    };
    std::shared_ptr<Stream> out;
    EXPECT_EQ(s.openStream(name, out), S_OK) << platform::EncodeNative(name);
    if (!out) out = std::make_shared<Missing>();
    return out;
  }
  cfbtest::ScratchFolder folder_;
  std::string path_;
  int counter_ = 0;
};

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

// --- Damage: each broken field on its own ---------------------------------

class Damage : public CompoundFileTest {
 protected:
  Sample sample{3};
  Bytes bytes = sample.bytes;
};

TEST_F(Damage, NotACompoundFile) {
  std::shared_ptr<Storage> storage;
  Bytes wrong = bytes;
  wrong[3] ^= 0x01;
  EXPECT_EQ(openBytes(wrong, storage), STG_E_FILEALREADYEXISTS);
  EXPECT_FALSE(storage);
  EXPECT_EQ(openBytes({}, storage), STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(openBytes(Bytes(bytes.begin(), bytes.begin() + 7), storage), STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(openBytes(Bytes(4096, 0), storage), STG_E_FILEALREADYEXISTS);
}

TEST_F(Damage, HeaderFields) {
  struct Case {
    const char* what;
    std::uint64_t offset;
    std::uint32_t value;
    bool wide;
  };
  const Case cases[] = {
      {"byte order", cfb::kHdrByteOrder, 0xFEFF, false},
      {"sector shift 12 in version 3", cfb::kHdrSectorShift, 12, false},
      {"sector shift 10", cfb::kHdrSectorShift, 10, false},
      {"major version 5", cfb::kHdrMajorVersion, 5, false},
      {"mini sector shift", cfb::kHdrMiniSectorShift, 7, false},
      {"mini stream cutoff", cfb::kHdrMiniStreamCutoff, 0x2000, true},
      {"FAT sector count", cfb::kHdrFatSectorCount, 0x7FFFFFFF, true},
      {"DIFAT sector count", cfb::kHdrDifatSectorCount, 0x01000000, true},
      {"mini FAT sector count", cfb::kHdrMiniFatSectorCount, 0xFFFFFFF0, true},
  };
  for (const Case& c : cases) {
    Bytes broken = bytes;
    if (c.wide)
      PutU32(broken, c.offset, c.value);
    else
      PutU16(broken, c.offset, static_cast<std::uint16_t>(c.value));
    std::shared_ptr<Storage> storage;
    EXPECT_EQ(openBytes(broken, storage), STG_E_INVALIDHEADER) << c.what;
  }
  // Version 4 with 512-byte sectors.
  Sample v4(4);
  PutU16(v4.bytes, cfb::kHdrSectorShift, 9);
  std::shared_ptr<Storage> storage;
  EXPECT_EQ(openBytes(v4.bytes, storage), STG_E_INVALIDHEADER);
  // A signature with less than a header behind it.
  EXPECT_EQ(openBytes(Bytes(bytes.begin(), bytes.begin() + 300), storage), STG_E_INVALIDHEADER);
}

TEST_F(Damage, NoDirectoryOrRoot) {
  std::shared_ptr<Storage> storage;
  Bytes broken = bytes;
  PutU32(broken, cfb::kHdrFirstDirSector, 0x00FFFFF0);
  EXPECT_EQ(openBytes(broken, storage), STG_E_DOCFILECORRUPT);
  broken = bytes;
  PutU32(broken, cfb::kHdrFirstDirSector, cfb::kEndOfChain);
  EXPECT_EQ(openBytes(broken, storage), STG_E_DOCFILECORRUPT);
  broken = bytes;
  broken[sample.writer.entryOffset(CfbWriter::kRoot) + cfb::kDirType] = 1;
  EXPECT_EQ(openBytes(broken, storage), STG_E_DOCFILECORRUPT);
  // Cut just before the directory.
  const std::uint64_t dir = sample.writer.sectorOffset(sample.writer.directorySectors().front());
  EXPECT_EQ(openBytes(Bytes(bytes.begin(), bytes.begin() + dir), storage), STG_E_DOCFILECORRUPT);
}

// The stream opens; reading the part its chain covers works, reaching the
// damage fails with STG_E_DOCFILECORRUPT and returns what came before.
void ExpectReadBreaksAt(Stream& s, const Bytes& data, std::uint64_t soundBytes) {
  Bytes got;
  EXPECT_EQ(ReadRest(s, got, 300), STG_E_DOCFILECORRUPT);
  ASSERT_EQ(got.size(), soundBytes);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
  // The sound part stays readable after the failure.
  std::uint8_t b[16];
  std::uint32_t done = 0;
  ASSERT_EQ(s.seek(0, platform::kSeekSet, nullptr), S_OK);
  EXPECT_EQ(s.read(b, sizeof b, done), S_OK);
  EXPECT_EQ(done, sizeof b);
}

TEST_F(Damage, TruncatedInsideStream) {
  // The Workbook's sectors are the last ones of the file; cut in its 8th.
  const auto offsets = sample.writer.dataOffsets(sample.workbook);
  const std::uint64_t cut = offsets[7] + 100;
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(Bytes(bytes.begin(), bytes.begin() + cut), storage), S_OK);
  auto s = stream(*storage, L"Workbook");
  ExpectReadBreaksAt(*s, Pattern(10000, 1), 7 * 512 + 100);
}

TEST_F(Damage, FatEntryOutOfRange) {
  const auto& chain = sample.writer.chain(sample.workbook);
  PutU32(bytes, sample.writer.fatEntryOffset(chain[3]), 0x00F00000);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(bytes, storage), S_OK);
  auto s = stream(*storage, L"Workbook");
  std::uint64_t size = 0;
  s->stat(size);
  EXPECT_EQ(size, 10000u);
  ExpectReadBreaksAt(*s, Pattern(10000, 1), 4 * 512);
  // Other streams do not suffer.
  Bytes got;
  EXPECT_EQ(ReadRest(*stream(*storage, L"Edge4096"), got), S_OK);
  EXPECT_EQ(got, Pattern(4096, 4));
}

TEST_F(Damage, FatSectorNumberOutOfRange) {
  // The only FAT sector is lost: each chain keeps just its first sector.
  // (Version 4, so that the whole directory fits in that first sector.)
  Sample v4(4);
  PutU32(v4.bytes, cfb::kHdrDifat, 0x00100000);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(v4.bytes, storage), S_OK);
  EXPECT_EQ(storage->entries().size(), 9u);
  ExpectReadBreaksAt(*stream(*storage, L"Workbook"), Pattern(10000, 1), 4096);
}

TEST_F(Damage, CyclicFatChain) {
  const auto& chain = sample.writer.chain(sample.workbook);
  PutU32(bytes, sample.writer.fatEntryOffset(chain[5]), chain[2]);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(bytes, storage), S_OK);
  ExpectReadBreaksAt(*stream(*storage, L"Workbook"), Pattern(10000, 1), 6 * 512);
}

TEST_F(Damage, SizeLongerThanChain) {
  PutU32(bytes, sample.writer.entryOffset(sample.workbook) + cfb::kDirSize, 20000);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(bytes, storage), S_OK);
  auto s = stream(*storage, L"Workbook");
  std::uint64_t size = 0;
  s->stat(size);
  EXPECT_EQ(size, 20000u);
  // The chain's 20 sectors hold the 10000 bytes and the zero-filled rest.
  Bytes expect = Pattern(10000, 1);
  expect.resize(20 * 512, 0);
  ExpectReadBreaksAt(*s, expect, 20 * 512);
}

TEST_F(Damage, HighHalfOfSizeCountsOnlyInVersion4) {
  PutU32(bytes, sample.writer.entryOffset(sample.workbook) + cfb::kDirSize + 4, 0xDEADBEEF);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(bytes, storage), S_OK);
  Bytes got;
  EXPECT_EQ(ReadRest(*stream(*storage, L"Workbook"), got), S_OK);
  EXPECT_EQ(got, Pattern(10000, 1));

  Sample v4(4);
  PutU32(v4.bytes, v4.writer.entryOffset(v4.workbook) + cfb::kDirSize + 4, 0xDEADBEEF);
  ASSERT_EQ(openBytes(v4.bytes, storage), S_OK);
  auto s = stream(*storage, L"Workbook");
  std::uint64_t size = 0;
  s->stat(size);
  EXPECT_EQ(size, 0xDEADBEEF00002710ull);
  Bytes expect = Pattern(10000, 1);
  expect.resize(3 * 4096, 0);
  ExpectReadBreaksAt(*s, expect, 3 * 4096);
}

// A version 4 root entry may claim a mini stream of up to 2^64 bytes. Only
// what the root's chain holds may size anything: otherwise a 20 KB file makes
// the reader allocate gigabytes. Opened in a child under an address-space
// limit, where such an allocation fails.
TEST_F(Damage, ClaimedMiniStreamSizeAllocatesNothing) {
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "needs fork and an address-space limit (the sanitizers reserve terabytes)";
#else
  Sample v4(4);
  PutU32(v4.bytes, v4.writer.entryOffset(CfbWriter::kRoot) + cfb::kDirSize + 4, 0x100);  // + 2^40
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(v4.bytes, storage), S_OK);  // writes the file; the child opens it again
  storage.reset();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{512u << 20, 512u << 20};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
    try {
      std::shared_ptr<Storage> s;
      std::shared_ptr<Stream> small;
      Bytes got;
      if (Open(path_, kRead, s) != S_OK || s->openStream(L"Small", small) != S_OK) _exit(1);
      _exit(ReadRest(*small, got) == S_OK && got == Pattern(100, 2) ? 0 : 1);
    } catch (const std::bad_alloc&) {
      _exit(2);
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the small stream did not open or read back, 2: out of memory";
#endif
}

TEST_F(Damage, MiniStreamChainCut) {
  // The mini stream loses all but its first sector (mini sectors 0..7).
  // Small has mini sectors 0-1; Edge4095 starts at 2 and runs past the cut.
  ASSERT_GE(sample.writer.miniStreamSectors().size(), 2u);
  ASSERT_EQ(sample.writer.chain(sample.small).front(), 0u);
  PutU32(bytes, sample.writer.fatEntryOffset(sample.writer.miniStreamSectors()[0]), cfb::kFreeSect);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(bytes, storage), S_OK);
  Bytes got;
  EXPECT_EQ(ReadRest(*stream(*storage, L"Small"), got), S_OK);
  EXPECT_EQ(got, Pattern(100, 2));
  ExpectReadBreaksAt(*stream(*storage, L"Edge4095"), Pattern(4095, 3), 6 * 64);
}

TEST_F(Damage, MiniFatCycle) {
  const auto& chain = sample.writer.chain(sample.small);  // two mini sectors
  ASSERT_EQ(chain.size(), 2u);
  PutU32(bytes, sample.writer.miniFatEntryOffset(chain[1]), chain[0]);
  PutU32(bytes, sample.writer.entryOffset(sample.small) + cfb::kDirSize, 200);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(bytes, storage), S_OK);
  Bytes expect = Pattern(100, 2);
  expect.resize(128, 0);
  ExpectReadBreaksAt(*stream(*storage, L"Small"), expect, 128);
}

TEST_F(Damage, CyclicDirectoryTree) {
  // A leaf of the root's tree links back to the top: every entry is still
  // listed exactly once and lookups end.
  const std::uint64_t rootEntry = sample.writer.entryOffset(CfbWriter::kRoot);
  const std::uint32_t top = testsupport::GetU32(bytes, rootEntry + cfb::kDirChild);
  int leaf = -1;
  for (int node = 1; node <= sample.storage; ++node) {
    const std::uint64_t e = sample.writer.entryOffset(node);
    if (testsupport::GetU32(bytes, e + cfb::kDirLeft) == cfb::kNoStream &&
        testsupport::GetU32(bytes, e + cfb::kDirRight) == cfb::kNoStream)
      leaf = node;
  }
  ASSERT_GE(leaf, 0);
  PutU32(bytes, sample.writer.entryOffset(leaf) + cfb::kDirLeft, top);
  PutU32(bytes, sample.writer.entryOffset(leaf) + cfb::kDirRight, top);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(bytes, storage), S_OK);
  auto listed = storage->entries();
  EXPECT_EQ(listed.size(), 9u);
  std::map<std::uint32_t, int> seen;
  for (const auto& e : listed) EXPECT_EQ(++seen[e.id], 1) << "entry listed twice: " << e.id;
  std::shared_ptr<Stream> s;
  EXPECT_EQ(storage->openStream(L"Nothing", s), STG_E_FILENOTFOUND);
  EXPECT_EQ(storage->openStream(L"Edge4095", s), S_OK);

  // A storage whose child is the root's top: it lists nothing twice either.
  PutU32(bytes, sample.writer.entryOffset(sample.storage) + cfb::kDirChild, top);
  ASSERT_EQ(openBytes(bytes, storage), S_OK);
  listed = storage->entries();
  EXPECT_EQ(listed.size(), 7u);  // Inner and CompObj are out of reach
  seen.clear();
  for (const auto& e : listed) EXPECT_EQ(++seen[e.id], 1) << "entry listed twice: " << e.id;
}

TEST_F(Damage, DirectoryChainCycle) {
  // Enough entries for three directory sectors; the second links back to the first.
  CfbWriter w(3);
  for (int i = 0; i < 10; ++i) w.addStream(CfbWriter::kRoot, u"S" + std::u16string(1, u'0' + i), Pattern(10, i));
  Bytes b = w.build();
  ASSERT_EQ(w.directorySectors().size(), 3u);
  PutU32(b, w.fatEntryOffset(w.directorySectors()[1]), w.directorySectors()[0]);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(b, storage), S_OK);
  // Entries 0..7 are read, later ones are treated as absent (and so is
  // what only they link to).
  std::shared_ptr<Stream> s;
  EXPECT_EQ(storage->openStream(L"S0", s), S_OK);
  EXPECT_EQ(storage->openStream(L"S5", s), S_OK);
  EXPECT_EQ(storage->openStream(L"S7", s), STG_E_FILENOTFOUND);
}

TEST_F(Damage, DifatChain) {
  CfbWriter w(3);
  const Bytes big = Pattern(8u << 20, 7);
  w.addStream(CfbWriter::kRoot, u"Workbook", big);
  const Bytes good = w.build();
  ASSERT_EQ(w.difatSectors().size(), 1u);
  const std::uint64_t difat = w.sectorOffset(w.difatSectors()[0]);

  // A loop: the header claims more FAT and DIFAT sectors, the DIFAT sector
  // names itself as next. The walk stops; the FAT it found is complete.
  Bytes broken = good;
  PutU32(broken, difat + 127 * 4, w.difatSectors()[0]);
  PutU32(broken, cfb::kHdrDifatSectorCount, 3);
  PutU32(broken, cfb::kHdrFatSectorCount, static_cast<std::uint32_t>(w.fatSectors().size() + 200));
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(broken, storage), S_OK);
  Bytes got;
  EXPECT_EQ(ReadRest(*stream(*storage, L"Workbook"), got), S_OK);
  EXPECT_EQ(got.size(), big.size());
  EXPECT_EQ(testsupport::Sha256Hex(got), testsupport::Sha256Hex(big));

  // A DIFAT sector out of range: FAT sectors past the 109th are unknown, so
  // the stream reads up to the last sector the first 109 describe.
  broken = good;
  PutU32(broken, cfb::kHdrFirstDifatSector, 0x7FFFFF00);
  ASSERT_EQ(openBytes(broken, storage), S_OK);
  const std::uint32_t first = w.chain(1).front();
  ExpectReadBreaksAt(*stream(*storage, L"Workbook"), big, (109ull * 128 - first + 1) * 512);
}

// The list of FAT sectors (header slots, then the DIFAT chain) naming a
// sector twice or one the file does not hold, or a DIFAT chain that loops or
// leaves the file: the file still opens (its streams read as far as their
// chains go, see DifatChain), and the storage tells.
TEST_F(Damage, FatSectorListsThatRepeatOrLeaveTheFile) {
  CfbWriter w(3);
  w.addStream(CfbWriter::kRoot, u"Workbook", Pattern(8u << 20, 7));
  const Bytes big = w.build();  // more than 109 FAT sectors: one DIFAT sector
  ASSERT_EQ(w.difatSectors().size(), 1u);
  const std::uint32_t difatSector = w.difatSectors()[0];
  const std::uint64_t difat = w.sectorOffset(difatSector);
  const auto fatCount = static_cast<std::uint32_t>(w.fatSectors().size());
  const std::uint32_t inDifat = fatCount - cfb::kHeaderDifatSlots;
  const std::vector<std::uint32_t>& data = w.chain(1);  // sectors no list names
  // The DIFAT sector's free slots name data sectors, its link itself: a list
  // sound but for the loop.
  const auto loop = [&](Bytes& b) {
    for (std::uint32_t j = inDifat; j < 127; ++j) PutU32(b, difat + 4 * j, data[j]);
    PutU32(b, difat + 127 * 4, difatSector);
    PutU32(b, cfb::kHdrFatSectorCount, fatCount - inDifat + 127 + 1);
  };
  struct Case {
    const char* what;
    bool withDifat;
    std::function<void(Bytes&)> patch;
    HRESULT status;
  };
  const Case cases[] = {
      {"sound", false, [](Bytes&) {}, S_OK},
      {"sound, with a DIFAT sector", true, [](Bytes&) {}, S_OK},
      {"a header slot repeats another", true,
       [&](Bytes& b) { PutU32(b, cfb::kHdrDifat + 4 * 7, w.fatSectors()[3]); }, STG_E_DOCFILECORRUPT},
      {"a DIFAT slot repeats a header slot", true, [&](Bytes& b) { PutU32(b, difat, w.fatSectors()[0]); },
       STG_E_DOCFILECORRUPT},
      {"a header slot names the DIFAT sector", true,
       [&](Bytes& b) { PutU32(b, cfb::kHdrDifat + 4 * 7, difatSector); }, STG_E_DOCFILECORRUPT},
      {"a header slot beyond the end", false, [](Bytes& b) { PutU32(b, cfb::kHdrDifat, 0x00100000); },
       STG_E_DOCFILECORRUPT},
      {"the count claims a slot left free", false, [](Bytes& b) { PutU32(b, cfb::kHdrFatSectorCount, 2); },
       STG_E_DOCFILECORRUPT},
      {"the DIFAT chain beyond the end", true,
       [](Bytes& b) { PutU32(b, cfb::kHdrFirstDifatSector, 0x7FFFFF00); }, STG_E_DOCFILECORRUPT},
      {"no DIFAT chain where the count needs one", true,
       [](Bytes& b) { PutU32(b, cfb::kHdrFirstDifatSector, cfb::kEndOfChain); }, STG_E_DOCFILECORRUPT},
      {"the DIFAT chain loops", true, loop, STG_E_DOCFILECORRUPT},
  };
  ASSERT_GE(data.size(), 127u);
  for (const Case& c : cases) {
    Bytes b = c.withDifat ? big : bytes;
    c.patch(b);
    std::shared_ptr<Storage> storage;
    ASSERT_EQ(openBytes(b, storage), S_OK) << c.what;
    EXPECT_EQ(storage->listStatus(), c.status) << c.what;
  }
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__)
// Runs `body` in a child process whose address space is limited to `bytes`:
// 0 when it answers true, 1 when false, 2 when it runs out of memory, 3 when
// the limit cannot be set.
int InChildWithAddressSpace(rlim_t bytes, const std::function<bool()>& body) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    const rlimit limit{bytes, bytes};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
    try {
      _exit(body() ? 0 : 1);
    } catch (const std::bad_alloc&) {
      _exit(2);
    }
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}
#endif

// A small file extended with a hole to 256 GB or 2 TB: neither its apparent
// size nor a count its header claims may size a table. (The sector count
// once sized every chain walk's table of sectors seen, a FAT sector count
// that claims the whole file the FAT, and a stream's claimed size its map.)
// Opened in a child under an address-space limit, where such an allocation
// fails.
TEST_F(CompoundFileTest, SparseFileAllocatesOnlyForWhatItHolds) {
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "needs fork and an address-space limit (the sanitizers reserve terabytes)";
#else
  struct Case {
    const char* what;
    int version;
    // Patches a file whose sectors, hole included, number `sectors`.
    std::function<void(Sample&, std::uint32_t sectors)> patch;
    HRESULT status;
    std::uint64_t workbookBytes;  // what the Workbook stream reads before its result
    HRESULT readResult;
  };
  const Case cases[] = {
      {"sound", 3, [](Sample&, std::uint32_t) {}, S_OK, 10000, S_OK},
      {"the FAT sector count claims every sector", 3,
       [](Sample& s, std::uint32_t sectors) { PutU32(s.bytes, cfb::kHdrFatSectorCount, sectors); },
       STG_E_DOCFILECORRUPT, 10000, S_OK},
      {"version 4, the FAT and DIFAT counts claim every sector", 4,
       [](Sample& s, std::uint32_t sectors) {
         PutU32(s.bytes, cfb::kHdrFatSectorCount, sectors);
         PutU32(s.bytes, cfb::kHdrDifatSectorCount, sectors);
       },
       STG_E_DOCFILECORRUPT, 10000, S_OK},
      {"version 4, the Workbook claims 2^60 bytes", 4,
       [](Sample& s, std::uint32_t) {
         PutU32(s.bytes, s.writer.entryOffset(s.workbook) + cfb::kDirSize + 4, 0x10000000);
       },
       S_OK, 3 * 4096, STG_E_DOCFILECORRUPT},
  };
  for (const std::uint64_t size : {std::uint64_t{256} << 30, std::uint64_t{2} << 40}) {
    for (const Case& c : cases) {
      const std::string what = std::string(c.what) + ", " + std::to_string(size >> 30) + " GiB";
      Sample sample(c.version);
      const std::uint64_t sectorSize = c.version == 4 ? 4096 : 512;
      const auto sectors =
          static_cast<std::uint32_t>(std::min<std::uint64_t>((size - 1) / sectorSize, cfb::kMaxRegSect + 1ull));
      c.patch(sample, sectors);
      const std::string path = folder_.file("sparse.xls");
      cfbtest::WriteFile(path, sample.bytes);
      if (truncate(path.c_str(), static_cast<off_t>(size)) != 0)
        GTEST_SKIP() << "the file system refuses a file of " << size << " bytes: " << std::strerror(errno);
      Bytes expect = Pattern(10000, 1);
      expect.resize(c.workbookBytes, 0);
      const int result = InChildWithAddressSpace(256u << 20, [&] {
        std::shared_ptr<Storage> storage;
        std::shared_ptr<Stream> workbook;
        Bytes got;
        return Open(path, kRead, storage) == S_OK && storage->listStatus() == c.status &&
               storage->openStream(L"Workbook", workbook) == S_OK && ReadRest(*workbook, got) == c.readResult &&
               got == expect;
      });
      EXPECT_EQ(result, 0) << what << " (1: another answer, 2: out of memory)";
    }
  }
#endif
}

// Any single byte of the structures set to an odd value: never a crash or a
// hang, and every stream that opens can be read to its end or to a failure.
TEST_F(Damage, EveryStructureByteMutated) {
  Sample small(3);
  const Bytes original = small.bytes;
  const std::uint64_t structures = small.writer.sectorOffset(small.writer.miniFatSectors().back() + 1);
  const std::string path = folder_.file("mutated.xls");
  cfbtest::WriteFile(path, original);
  // Closed between patches: on Windows an open writer keeps the layer's
  // reader out.
  auto patch = [&](std::uint64_t at, std::uint8_t value) {
    std::fstream file(testsupport::FsPath(path), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(at));
    file.put(static_cast<char>(value));
    ASSERT_TRUE(file.flush()) << at;
  };
  auto openAndReadAll = [&](std::uint64_t at) {
    std::shared_ptr<Storage> storage;
    const HRESULT hr = Open(path, kRead, storage);
    ASSERT_TRUE(hr == S_OK || hr == STG_E_FILEALREADYEXISTS || hr == STG_E_INVALIDHEADER ||
                hr == STG_E_DOCFILECORRUPT)
        << "byte " << at << ": " << std::hex << hr;
    if (hr != S_OK) return;
    for (const auto& e : storage->entries()) {
      std::shared_ptr<Stream> s;
      if (storage->openStreamEntry(e.id, s) != S_OK) continue;
      Bytes got;
      const HRESULT r = ReadRest(*s, got, 1000);
      EXPECT_TRUE(r == S_OK || r == STG_E_DOCFILECORRUPT);
      EXPECT_LE(got.size(), e.size);
    }
  };
  for (std::uint64_t at = 0; at < structures; ++at) {
    for (std::uint8_t value : {std::uint8_t{0xFF}, std::uint8_t{0x00}, static_cast<std::uint8_t>(original[at] + 1)}) {
      if (value == original[at]) continue;
      patch(at, value);
      openAndReadAll(at);
      patch(at, original[at]);
      if (HasFatalFailure()) break;
    }
  }
}

// --- Opening: classification of system errors -----------------------------

TEST_F(CompoundFileTest, OpenClassifiesMissingAndInvalidPaths) {
  std::shared_ptr<Storage> storage;
  EXPECT_EQ(Open(folder_.file("missing.xls"), kRead, storage), STG_E_FILENOTFOUND);
  EXPECT_EQ(Open(folder_.file("missing/book.xls"), kRead, storage), STG_E_PATHNOTFOUND);
#ifdef _WIN32
  EXPECT_EQ(Open(folder_.file("a<b>.xls"), kRead, storage), STG_E_INVALIDNAME);
#else
  EXPECT_EQ(Open(folder_.file(std::string(300, 'n') + ".xls"), kRead, storage), STG_E_INVALIDNAME);
#endif
  // A folder is no file to open, in either mode.
  EXPECT_EQ(Open(folder_.path(), kRead, storage), STG_E_ACCESSDENIED);
  EXPECT_EQ(Open(folder_.path(), kWrite, storage), STG_E_ACCESSDENIED);
  // A file used as a folder.
  cfbtest::WriteFile(folder_.file("plain"), Bytes(10, 1));
  EXPECT_EQ(Open(folder_.file("plain/book.xls"), kRead, storage), STG_E_PATHNOTFOUND);
  EXPECT_EQ(Open(folder_.file("plain"), kRead, storage), STG_E_FILEALREADYEXISTS);
  EXPECT_FALSE(storage);
}

// Another user's rights are a POSIX condition here: Wine runs every program
// with the rights of the user who started it.
#ifndef _WIN32

// Runs `body` without root's privileges (in a child when we are root) and
// returns its result; `skip` is set when no unprivileged user is available.
HRESULT RunUnprivileged(const std::function<HRESULT()>& body, bool& skip) {
  skip = false;
  if (geteuid() != 0) return body();
  int fds[2];
  if (pipe(fds) != 0) {
    skip = true;
    return E_FAIL;
  }
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    HRESULT hr = E_FAIL;
    if (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0)
      hr = body();
    else
      hr = 0x7FFFFFFF;  // could not drop privileges
    (void)!write(fds[1], &hr, sizeof hr);
    _exit(0);
  }
  close(fds[1]);
  HRESULT hr = E_FAIL;
  const bool got = child > 0 && read(fds[0], &hr, sizeof hr) == sizeof hr;
  close(fds[0]);
  if (child > 0) waitpid(child, nullptr, 0);
  if (!got || hr == 0x7FFFFFFF) skip = true;
  return hr;
}

TEST_F(CompoundFileTest, OpenWithoutPermissionIsAccessDenied) {
  chmod(folder_.path().c_str(), 0755);
  const std::string readable = folder_.file("readable.xls"), secret = folder_.file("secret.xls");
  cfbtest::WriteFile(readable, Sample(3).bytes);
  cfbtest::WriteFile(secret, Sample(3).bytes);
  chmod(readable.c_str(), 0444);
  chmod(secret.c_str(), 0000);
  auto attempt = [](const std::string& path, StorageMode mode) {
    return [path, mode] {
      std::shared_ptr<Storage> s;
      return Open(path, mode, s);
    };
  };
  bool skip = false;
  const std::string folder = folder_.path();
  const HRESULT reachable =
      RunUnprivileged([folder] { return access(folder.c_str(), X_OK) == 0 ? S_OK : E_FAIL; }, skip);
  if (skip) GTEST_SKIP() << "cannot drop root privileges to test permissions";
  if (reachable != S_OK) GTEST_SKIP() << "the scratch folder is out of an unprivileged user's reach: " << folder;
  // The same user may read the read-only file: the denials below are about the files.
  EXPECT_EQ(RunUnprivileged(attempt(readable, kRead), skip), S_OK);
  EXPECT_EQ(RunUnprivileged(attempt(readable, kWrite), skip), STG_E_ACCESSDENIED);
  EXPECT_EQ(RunUnprivileged(attempt(secret, kRead), skip), STG_E_ACCESSDENIED);
}

#endif

// --- Sharing -------------------------------------------------------------

#ifndef _WIN32

// A child process that takes a lock on `path` and holds it until told to go.
class LockHolder {
 public:
  // kind: 0 = compound-file open read-only, 1 = read-write,
  // 2 = classic F_SETLK read lock, 3 = classic write lock.
  LockHolder(const std::string& path, int kind) {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(up[0]);
      close(down[1]);
      char ok = 0;
      std::shared_ptr<Storage> storage;
      int fd = -1;
      if (kind < 2) {
        ok = Open(path, kind == 0 ? kRead : kWrite, storage) == S_OK;
      } else {
        fd = open(path.c_str(), kind == 2 ? O_RDONLY : O_RDWR);
        struct flock l {};
        l.l_type = kind == 2 ? F_RDLCK : F_WRLCK;
        l.l_whence = SEEK_SET;
        ok = fd >= 0 && fcntl(fd, F_SETLK, &l) == 0;
      }
      (void)!write(up[1], &ok, 1);
      char c;
      (void)!read(down[0], &c, 1);  // until the parent closes its end
      _exit(0);
    }
    close(up[1]);
    close(down[0]);
    release_ = down[1];
    char ok = 0;
    ready_ = pid_ > 0 && read(up[0], &ok, 1) == 1 && ok == 1;
    close(up[0]);
  }
  ~LockHolder() { stop(); }
  void stop() {
    if (release_ >= 0) close(release_);
    release_ = -1;
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool ready_ = false;
};

#else

// Another open of `path`, held until stop(): sharing belongs to each handle
// on Windows. The classic kinds stand for programs that open with every
// sharing allowed: one that only reads, one that writes.
class LockHolder {
 public:
  // kind: 0 = compound-file open read-only, 1 = read-write,
  // 2 = plain reader sharing everything, 3 = plain writer sharing everything.
  LockHolder(const std::string& path, int kind) {
    if (kind < 2) {
      ready_ = Open(path, kind == 0 ? kRead : kWrite, storage_) == S_OK;
      return;
    }
    handle_ = CreateFileW(platform::DecodeNative(path).c_str(), kind == 2 ? GENERIC_READ : GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ready_ = handle_ != INVALID_HANDLE_VALUE;
  }
  ~LockHolder() { stop(); }
  void stop() {
    storage_.reset();
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  bool ready() const { return ready_; }

 private:
  std::shared_ptr<Storage> storage_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool ready_ = false;
};

#endif

TEST_F(CompoundFileTest, AnotherProcessHoldingTheFile) {
  const std::string path = folder_.file("shared.xls");
  cfbtest::WriteFile(path, Sample(3).bytes);
  std::shared_ptr<Storage> s;
  {
    LockHolder writer(path, 1);
    ASSERT_TRUE(writer.ready());
    EXPECT_EQ(Open(path, kRead, s), STG_E_SHAREVIOLATION);
    EXPECT_EQ(Open(path, kWrite, s), STG_E_SHAREVIOLATION);
    writer.stop();
    EXPECT_EQ(Open(path, kWrite, s), S_OK);
    s.reset();
  }
  {
    LockHolder reader(path, 0);
    ASSERT_TRUE(reader.ready());
    EXPECT_EQ(Open(path, kRead, s), S_OK);
    s.reset();
    EXPECT_EQ(Open(path, kWrite, s), STG_E_SHAREVIOLATION);
  }
  // Classic record locks of other programs count too.
  {
    LockHolder classic(path, 3);
    ASSERT_TRUE(classic.ready());
    EXPECT_EQ(Open(path, kRead, s), STG_E_SHAREVIOLATION);
  }
  {
    LockHolder classic(path, 2);
    ASSERT_TRUE(classic.ready());
    EXPECT_EQ(Open(path, kRead, s), S_OK);
    s.reset();
    EXPECT_EQ(Open(path, kWrite, s), STG_E_SHAREVIOLATION);
  }
}

TEST_F(CompoundFileTest, OpensInOneProcessShareLikeProcesses) {
  const std::string path = folder_.file("shared.xls");
  cfbtest::WriteFile(path, Sample(3).bytes);
  std::shared_ptr<Storage> a, b, c;
  ASSERT_EQ(Open(path, kRead, a), S_OK);
  EXPECT_EQ(Open(path, kRead, b), S_OK);  // readers coexist
  EXPECT_EQ(Open(path, kWrite, c), STG_E_SHAREVIOLATION);
  a.reset();
  b.reset();
  ASSERT_EQ(Open(path, kWrite, a), S_OK);
  EXPECT_EQ(Open(path, kRead, b), STG_E_SHAREVIOLATION);
  EXPECT_EQ(Open(path, kWrite, c), STG_E_SHAREVIOLATION);
  EXPECT_FALSE(b);
  EXPECT_FALSE(c);
}

TEST_F(CompoundFileTest, LastHolderClosesTheFile) {
  const std::string path = folder_.file("held.xls");
  cfbtest::WriteFile(path, Sample(3).bytes);
  std::shared_ptr<Storage> storage, other;
  ASSERT_EQ(Open(path, kWrite, storage), S_OK);
  auto s = stream(*storage, L"Workbook");
  storage.reset();
  // The stream alone keeps file and lock and still reads.
  EXPECT_EQ(Open(path, kRead, other), STG_E_SHAREVIOLATION);
  Bytes got;
  EXPECT_EQ(ReadRest(*s, got), S_OK);
  EXPECT_EQ(got, Pattern(10000, 1));
  s.reset();
  EXPECT_EQ(Open(path, kRead, other), S_OK);
}

// --- Writing in place ------------------------------------------------------

TEST_F(CompoundFileTest, WritesReachTheFileInPlace) {
  for (int version : {3, 4}) {
    Sample sample(version, /*reverse=*/true);
    std::shared_ptr<Storage> storage;
    ASSERT_EQ(openBytes(sample.bytes, storage, kWrite), S_OK);
    Bytes expected = sample.bytes;
    // Across sector (and mini sector) boundaries of both kinds of stream.
    for (const auto& [node, name, at] : {std::make_tuple(sample.workbook, L"Workbook", 500u),
                                         std::make_tuple(sample.small, L"Small", 60u)}) {
      auto s = stream(*storage, name);
      const Bytes patch = Pattern(30, 99);
      ASSERT_EQ(s->seek(at, platform::kSeekSet, nullptr), S_OK);
      std::uint32_t done = 0;
      ASSERT_EQ(s->write(patch.data(), 30, done), S_OK);
      EXPECT_EQ(done, 30u);
      const auto offsets = sample.writer.dataOffsets(node);
      const std::uint32_t unit = sample.writer.inMiniStream(node) ? 64 : sample.writer.sectorSize();
      for (std::uint32_t i = 0; i < 30; ++i)
        expected[offsets[(at + i) / unit] + (at + i) % unit] = patch[i];
    }
    storage.reset();
    EXPECT_EQ(cfbtest::ReadFile(path_), expected) << "version " << version;
  }
}

TEST_F(CompoundFileTest, WriteNeverGrowsAStream) {
  Sample sample(3);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(sample.bytes, storage, kWrite), S_OK);
  auto s = stream(*storage, L"Workbook");
  const Bytes patch(10, 0xAB);
  std::uint32_t done = 0;
  ASSERT_EQ(s->seek(-3, platform::kSeekEnd, nullptr), S_OK);
  EXPECT_EQ(s->write(patch.data(), 10, done), S_OK);
  EXPECT_EQ(done, 3u);
  EXPECT_EQ(s->write(patch.data(), 10, done), S_OK);
  EXPECT_EQ(done, 0u);
  ASSERT_EQ(s->seek(100, platform::kSeekEnd, nullptr), S_OK);
  EXPECT_EQ(s->write(patch.data(), 10, done), S_OK);
  EXPECT_EQ(done, 0u);
  std::uint64_t size = 0;
  s->stat(size);
  EXPECT_EQ(size, 10000u);
  s.reset();
  storage.reset();
  const Bytes after = cfbtest::ReadFile(path_);
  EXPECT_EQ(after.size(), sample.bytes.size());
  ASSERT_EQ(openBytes(after, storage), S_OK);
  Bytes got;
  ReadRest(*stream(*storage, L"Workbook"), got);
  Bytes expect = Pattern(10000, 1);
  std::fill(expect.end() - 3, expect.end(), 0xAB);
  EXPECT_EQ(got, expect);
}

TEST_F(CompoundFileTest, WriteOnReadOnlyStorageIsDenied) {
  Sample sample(3);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(sample.bytes, storage, kRead), S_OK);
  auto s = stream(*storage, L"Workbook");
  std::uint32_t done = 5;
  const std::uint8_t b[2] = {1, 2};
  EXPECT_EQ(s->write(b, 2, done), STG_E_ACCESSDENIED);
  EXPECT_EQ(done, 0u);
  storage.reset();
  s.reset();
  EXPECT_EQ(cfbtest::ReadFile(path_), sample.bytes);
}

TEST_F(CompoundFileTest, ReadsSeeEarlierWrites) {
  Sample sample(3, true);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openBytes(sample.bytes, storage, kWrite), S_OK);
  auto writer = stream(*storage, L"Workbook");
  auto reader = stream(*storage, L"Workbook");  // a second object with its own cache
  Bytes data = Pattern(10000, 1);
  std::vector<std::uint8_t> buf(10000);
  std::uint32_t done = 0;
  ASSERT_EQ(writer->read(buf.data(), 2000, done), S_OK);
  ASSERT_EQ(reader->read(buf.data(), 2000, done), S_OK);

  const Bytes patch = Pattern(700, 42);  // spans two sectors
  ASSERT_EQ(writer->seek(400, platform::kSeekSet, nullptr), S_OK);
  ASSERT_EQ(writer->write(patch.data(), 700, done), S_OK);
  std::copy(patch.begin(), patch.end(), data.begin() + 400);

  for (auto* s : {writer.get(), reader.get()}) {
    ASSERT_EQ(s->seek(0, platform::kSeekSet, nullptr), S_OK);
    ASSERT_EQ(s->read(buf.data(), 10000, done), S_OK);
    ASSERT_EQ(done, 10000u);
    EXPECT_EQ(Bytes(buf.begin(), buf.end()), data);
  }
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
