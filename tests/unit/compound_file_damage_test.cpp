// The compound-file layer reading damaged files: each broken field on its
// own, claimed sizes that must allocate nothing, and every structure byte
// mutated.
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>

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
using platform::Storage;
using platform::Stream;
namespace cfb = platform::cfb;
using testsupport::CfbWriter;
using testsupport::PutU16;
using testsupport::PutU32;

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

}  // namespace
