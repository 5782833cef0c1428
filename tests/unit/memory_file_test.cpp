// Compound files and property sets held in memory: the handle's reads and
// writes at its bounds, a storage over bytes answering as the same bytes in a
// file do, writes landing in place, and property set streams parsed alone as
// they are inside a compound file.
#include <cstdint>
#include <filesystem>
#include <limits>
#include <set>
#include <tuple>

#include "cfb_test_util.h"
#include "cfb_writer.h"
#include "file_handle.h"
#include "property_set_writer.h"

namespace {

using cfbtest::Bytes;
using cfbtest::Pattern;
using cfbtest::ReadRest;
using platform::PropertySet;
using platform::PropertyValue;
using platform::Storage;
using platform::Stream;
using testsupport::CfbWriter;

constexpr auto kRead = platform::StorageMode::kReadDenyWrite;
constexpr auto kWrite = platform::StorageMode::kReadWriteExclusive;

std::shared_ptr<Bytes> Shared(Bytes bytes) { return std::make_shared<Bytes>(std::move(bytes)); }

// --- The handle ----------------------------------------------------------------

TEST(MemoryFileHandle, ReadsStopAtTheEndOfTheBytes) {
  const auto bytes = Shared(Pattern(1000, 3));
  const auto handle = platform::OpenMemoryFileHandle(bytes, false);
  EXPECT_EQ(handle->size(), 1000u);

  Bytes buf(2000, 0xAA);
  std::size_t done = 7;
  ASSERT_EQ(handle->readAt(0, buf.data(), 1000, done), S_OK);
  EXPECT_EQ(done, 1000u);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 1000), *bytes);

  // Across the end: only what is there, and nothing written past it.
  std::fill(buf.begin(), buf.end(), 0xAA);
  ASSERT_EQ(handle->readAt(990, buf.data(), 100, done), S_OK);
  EXPECT_EQ(done, 10u);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 10), Bytes(bytes->begin() + 990, bytes->end()));
  EXPECT_EQ(buf[10], 0xAA);

  // At, past and far past the end (no wrap-around of offset + count).
  for (std::uint64_t at : {std::uint64_t{1000}, std::uint64_t{1001}, std::numeric_limits<std::uint64_t>::max()}) {
    done = 7;
    ASSERT_EQ(handle->readAt(at, buf.data(), 100, done), S_OK) << at;
    EXPECT_EQ(done, 0u) << at;
  }
  done = 7;
  ASSERT_EQ(handle->readAt(999, buf.data(), std::numeric_limits<std::size_t>::max(), done), S_OK);
  EXPECT_EQ(done, 1u);
  EXPECT_EQ(buf[0], (*bytes)[999]);
}

TEST(MemoryFileHandle, WritesLandInPlaceAndNeverGrowTheBytes) {
  const Bytes original = Pattern(1000, 4);
  const auto bytes = Shared(original);
  const auto handle = platform::OpenMemoryFileHandle(bytes, true);
  const Bytes patch = Pattern(50, 5);

  ASSERT_EQ(handle->writeAt(100, patch.data(), patch.size()), S_OK);
  Bytes expected = original;
  std::copy(patch.begin(), patch.end(), expected.begin() + 100);
  EXPECT_EQ(*bytes, expected);
  ASSERT_EQ(handle->writeAt(950, patch.data(), patch.size()), S_OK);  // up to the last byte
  std::copy(patch.begin(), patch.end(), expected.begin() + 950);
  EXPECT_EQ(*bytes, expected);

  // Anything reaching past the end is refused whole.
  EXPECT_EQ(handle->writeAt(951, patch.data(), patch.size()), STG_E_WRITEFAULT);
  EXPECT_EQ(handle->writeAt(1000, patch.data(), 1), STG_E_WRITEFAULT);
  EXPECT_EQ(handle->writeAt(std::numeric_limits<std::uint64_t>::max(), patch.data(), 2), STG_E_WRITEFAULT);
  EXPECT_EQ(handle->writeAt(10, patch.data(), std::numeric_limits<std::size_t>::max()), STG_E_WRITEFAULT);
  EXPECT_EQ(*bytes, expected);
  EXPECT_EQ(handle->size(), 1000u);

  // A handle for reading writes nothing.
  const auto reader = platform::OpenMemoryFileHandle(bytes, false);
  EXPECT_EQ(reader->writeAt(0, patch.data(), patch.size()), STG_E_ACCESSDENIED);
  EXPECT_EQ(*bytes, expected);
}

// --- A storage over bytes ----------------------------------------------------------

// What a storage shows of a compound file: its entries, each stream's read
// result and bytes, and the user-defined properties' tag lookup.
struct Observed {
  HRESULT open = S_OK;
  std::vector<std::tuple<std::uint32_t, std::uint32_t, int, std::u16string, std::uint64_t>> entries;
  std::vector<std::pair<HRESULT, Bytes>> streams;
  HRESULT propertySet = S_OK;
  HRESULT tag = S_OK;
  bool operator==(const Observed& o) const {
    return open == o.open && entries == o.entries && streams == o.streams && propertySet == o.propertySet &&
           tag == o.tag;
  }
};

Observed Observe(HRESULT open, const std::shared_ptr<Storage>& storage) {
  Observed o;
  o.open = open;
  if (open != S_OK) return o;
  for (const auto& e : storage->entries()) {
    o.entries.emplace_back(e.id, e.parent, static_cast<int>(e.type), e.name, e.size);
    std::shared_ptr<Stream> s;
    const HRESULT hr = storage->openStreamEntry(e.id, s);
    Bytes bytes;
    o.streams.emplace_back(hr == S_OK ? ReadRest(*s, bytes) : hr, bytes);
  }
  std::shared_ptr<PropertySet> set;
  o.propertySet = storage->openPropertySet(platform::kFmtidUserDefinedProperties, set);
  PropertyValue value;
  o.tag = set ? set->readByName(L"TMTAG", value) : S_FALSE;
  return o;
}

Observed ObserveFile(const std::string& path) {
  std::shared_ptr<Storage> storage;
  const HRESULT hr = cfbtest::Open(path, kRead, storage);
  return Observe(hr, storage);
}

Observed ObserveMemory(const Bytes& bytes) {
  std::shared_ptr<Storage> storage;
  const HRESULT hr = Storage::openMemory(Shared(bytes), kRead, storage);
  return Observe(hr, storage);
}

TEST(MemoryStorage, AnswersAsTheSameBytesInAFile) {
  cfbtest::ScratchFolder folder;
  std::vector<std::pair<std::string, Bytes>> cases;
  for (int version : {3, 4}) {
    CfbWriter w(version);
    w.addStream(CfbWriter::kRoot, u"Workbook", Pattern(9000, 1));
    w.addStream(CfbWriter::kRoot, u"Small", Pattern(300, 2));
    const int storage = w.addStorage(CfbWriter::kRoot, u"Inner");
    w.addStream(storage, u"Deep", Pattern(5000, 3));
    testsupport::DocSummaryStream doc;
    doc.properties = {testsupport::LpstrProperty(u"TMTAG", "x")};
    w.addStream(CfbWriter::kRoot, u"\x05" u"DocumentSummaryInformation", testsupport::BuildDocSummaryStream(doc));
    const Bytes whole = w.build();
    cases.emplace_back("version " + std::to_string(version), whole);
    // Cut short, its FAT or directory lost.
    cases.emplace_back("version " + std::to_string(version) + " cut", Bytes(whole.begin(), whole.end() - 3000));
    Bytes fat = whole;
    testsupport::PutU32(fat, platform::cfb::kHdrDifat, 0x00FFFFFF);
    cases.emplace_back("version " + std::to_string(version) + " FAT lost", fat);
    Bytes directory = whole;
    testsupport::PutU32(directory, platform::cfb::kHdrFirstDirSector, 0x00FFFFF0);
    cases.emplace_back("version " + std::to_string(version) + " directory lost", directory);
  }
  cases.emplace_back("header only", Bytes(cases[0].second.begin(), cases[0].second.begin() + 512));
  cases.emplace_back("short header", Bytes(cases[0].second.begin(), cases[0].second.begin() + 100));
  cases.emplace_back("not a compound file", Pattern(4096, 9));
  cases.emplace_back("empty", Bytes());

  std::set<HRESULT> opens;
  for (const auto& [what, bytes] : cases) {
    const std::string path = folder.file("case.bin");
    cfbtest::WriteFile(path, bytes);
    const Observed inFile = ObserveFile(path);
    EXPECT_TRUE(ObserveMemory(bytes) == inFile) << what;
    opens.insert(inFile.open);
  }
  // The cases reach the open's failures, not only its success.
  EXPECT_EQ(opens, (std::set<HRESULT>{S_OK, STG_E_INVALIDHEADER, STG_E_DOCFILECORRUPT, STG_E_FILEALREADYEXISTS}));

  const std::string dir = cfbtest::CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "corpus not found beside the repository (../shared/corpus)";
  int files = 0;
  for (const std::string sub : {"", "malformed/"}) {
    for (const auto& item : std::filesystem::directory_iterator(dir + "/" + sub)) {
      if (item.path().extension() != ".xls") continue;
      const std::string path = item.path().string();
      EXPECT_TRUE(ObserveMemory(cfbtest::ReadFile(path)) == ObserveFile(path)) << path;
      ++files;
    }
  }
  EXPECT_GT(files, 0);
}

TEST(MemoryStorage, WritesLandInTheCallersBytes) {
  CfbWriter w(3);
  const int big = w.addStream(CfbWriter::kRoot, u"Workbook", Pattern(5000, 1));
  const int small = w.addStream(CfbWriter::kRoot, u"Small", Pattern(200, 2));
  const Bytes original = w.build();
  const auto bytes = Shared(original);

  std::shared_ptr<Storage> storage;
  ASSERT_EQ(Storage::openMemory(bytes, kWrite, storage), S_OK);
  Bytes expected = original;
  for (const auto& [name, node, size] : {std::make_tuple(L"Workbook", big, 5000u), std::make_tuple(L"Small", small, 200u)}) {
    std::shared_ptr<Stream> s;
    ASSERT_EQ(storage->openStream(name, s), S_OK);
    // Across a sector boundary, and over the end: the stream does not grow.
    const std::uint32_t at = size - 100;
    const Bytes patch = Pattern(150, 7);
    ASSERT_EQ(s->seek(at, platform::kSeekSet, nullptr), S_OK);
    std::uint32_t done = 0;
    ASSERT_EQ(s->write(patch.data(), 150, done), S_OK);
    EXPECT_EQ(done, 100u);
    const std::uint64_t unit = w.inMiniStream(node) ? platform::cfb::kMiniSectorSize : w.sectorSize();
    const auto offsets = w.dataOffsets(node);
    for (std::uint32_t i = 0; i < 100; ++i)
      expected[offsets[(at + i) / unit] + (at + i) % unit] = patch[i];
  }
  EXPECT_EQ(*bytes, expected);
  EXPECT_EQ(bytes->size(), original.size());

  // Read back through a new storage over the same bytes.
  std::shared_ptr<Storage> again;
  ASSERT_EQ(Storage::openMemory(bytes, kRead, again), S_OK);
  std::shared_ptr<Stream> s;
  ASSERT_EQ(again->openStream(L"Small", s), S_OK);
  Bytes got;
  ASSERT_EQ(ReadRest(*s, got), S_OK);
  Bytes want = Pattern(200, 2);
  std::copy_n(Pattern(150, 7).begin(), 100, want.begin() + 100);
  EXPECT_EQ(got, want);
}

TEST(MemoryStorage, ReadOnlyRefusesWritesAndKeepsTheBytesAlive) {
  CfbWriter w(3);
  w.addStream(CfbWriter::kRoot, u"Workbook", Pattern(5000, 1));
  const Bytes original = w.build();
  auto bytes = Shared(original);

  std::shared_ptr<Storage> storage;
  EXPECT_EQ(Storage::openMemory(nullptr, kRead, storage), STG_E_INVALIDPOINTER);
  EXPECT_FALSE(storage);
  ASSERT_EQ(Storage::openMemory(bytes, kRead, storage), S_OK);
  std::shared_ptr<Stream> s;
  ASSERT_EQ(storage->openStream(L"Workbook", s), S_OK);
  std::uint32_t done = 5;
  const Bytes patch(10, 0xEE);
  EXPECT_EQ(s->write(patch.data(), 10, done), STG_E_ACCESSDENIED);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(*bytes, original);

  // The stream outlives the caller's pointer and the storage.
  bytes.reset();
  storage.reset();
  Bytes got;
  ASSERT_EQ(ReadRest(*s, got), S_OK);
  EXPECT_EQ(got, Pattern(5000, 1));
}

// --- Property sets alone ------------------------------------------------------------

// The result of opening the user-defined set and looking up `names`.
std::vector<std::tuple<HRESULT, std::uint16_t, Bytes>> Lookups(HRESULT open, const std::shared_ptr<PropertySet>& set,
                                                               const std::vector<std::wstring>& names) {
  std::vector<std::tuple<HRESULT, std::uint16_t, Bytes>> out{{open, 0, {}}};
  if (!set) return out;
  for (const auto& name : names) {
    PropertyValue v;
    const HRESULT hr = set->readByName(name, v);
    out.emplace_back(hr, v.type, v.bytes);
  }
  return out;
}

TEST(MemoryPropertySet, ParsesAStreamAsTheCompoundFileLayerDoes) {
  std::vector<testsupport::Property> properties = {testsupport::LpstrProperty(u"TMTAG", "tagged"),
                                                   testsupport::I4Property(u"Count", 3),
                                                   testsupport::LpwstrProperty(u"Wide", u"w")};
  std::vector<Bytes> streams;
  for (std::uint16_t codePage : {platform::cfb::kCodePageUnicode, platform::cfb::kCodePageWindows1252}) {
    testsupport::DocSummaryStream doc;
    doc.codePage = codePage;
    doc.properties = properties;
    streams.push_back(testsupport::BuildDocSummaryStream(doc));
    for (const auto& loose : testsupport::LooseDocSummaryStreams(properties, codePage)) streams.push_back(loose.stream);
    doc.hasUserSection = false;
    streams.push_back(testsupport::BuildDocSummaryStream(doc));
  }
  // Every prefix of one stream: the cuts meet each field in turn.
  const Bytes whole = streams.front();
  for (std::size_t n = 0; n < whole.size(); n += 3) streams.emplace_back(whole.begin(), whole.begin() + n);

  const std::vector<std::wstring> names = {L"TMTAG", L"count", L"Wide", L"Missing"};
  std::set<HRESULT> opens;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    CfbWriter w(3);
    w.addStream(CfbWriter::kRoot, u"Workbook", Pattern(5000, 1));
    w.addStream(CfbWriter::kRoot, u"\x05" u"DocumentSummaryInformation", streams[i]);
    std::shared_ptr<Storage> storage;
    ASSERT_EQ(Storage::openMemory(Shared(w.build()), kRead, storage), S_OK);
    std::shared_ptr<PropertySet> inFile, alone;
    const HRESULT viaStorage = storage->openPropertySet(platform::kFmtidUserDefinedProperties, inFile);
    const HRESULT direct = PropertySet::openMemory(streams[i], platform::kFmtidUserDefinedProperties, alone);
    EXPECT_TRUE(Lookups(direct, alone, names) == Lookups(viaStorage, inFile, names)) << "stream " << i;
    opens.insert(direct);
  }
  EXPECT_EQ(opens, (std::set<HRESULT>{S_OK, STG_E_INVALIDHEADER, STG_E_FILENOTFOUND}));

  // The size limit of a property set stream holds for one in memory too.
  Bytes huge = whole;
  huge.resize(platform::cfb::kMaxPropertySetStream + 1, 0);
  std::shared_ptr<PropertySet> set;
  EXPECT_EQ(PropertySet::openMemory(Bytes(huge.begin(), huge.end() - 1), platform::kFmtidUserDefinedProperties, set),
            S_OK);
  EXPECT_EQ(PropertySet::openMemory(huge, platform::kFmtidUserDefinedProperties, set), STG_E_INVALIDHEADER);
  EXPECT_FALSE(set);
}

}  // namespace
