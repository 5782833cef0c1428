// Property sets of "\x05DocumentSummaryInformation": dictionary lookups in
// both name encodings, value types, missing sets and names, and malformed
// streams.
#include <functional>

#include "cfb_test_util.h"
#include "cfb_writer.h"
#include "property_set_writer.h"

namespace {

using cfbtest::Bytes;
using platform::PropertySet;
using platform::PropertyValue;
using platform::Storage;
using testsupport::CfbWriter;
using testsupport::DocSummaryLayout;
using testsupport::DocSummaryStream;
using testsupport::Property;
using testsupport::PutU32;

const std::u16string kDocSummary = u"\x05" u"DocumentSummaryInformation";

class PropertySetTest : public ::testing::Test {
 protected:
  // A compound file holding a workbook stream and `stream` as its
  // DocumentSummaryInformation (none when empty), opened read-only.
  HRESULT openFile(const Bytes& stream, std::shared_ptr<Storage>& out, int version = 3) {
    CfbWriter w(version);
    w.addStream(CfbWriter::kRoot, u"Workbook", cfbtest::Pattern(5000, 1));
    if (!stream.empty()) w.addStream(CfbWriter::kRoot, kDocSummary, stream);
    const std::string path = folder_.file("p" + std::to_string(counter_++) + ".xls");
    cfbtest::WriteFile(path, w.build());
    return cfbtest::Open(path, platform::StorageMode::kReadDenyWrite, out);
  }
  HRESULT openUserSet(const Bytes& stream, std::shared_ptr<PropertySet>& out) {
    std::shared_ptr<Storage> storage;
    const HRESULT hr = openFile(stream, storage);
    if (hr != S_OK) return hr;
    return storage->openPropertySet(platform::kFmtidUserDefinedProperties, out);
  }
  cfbtest::ScratchFolder folder_;
  int counter_ = 0;
};

// Every value type, under both dictionary encodings.
class EveryType : public PropertySetTest, public ::testing::WithParamInterface<std::uint16_t> {};

TEST_P(EveryType, ValuesComeBackWithTheirTypeAndBytes) {
  DocSummaryStream doc;
  doc.codePage = GetParam();
  doc.properties = {
      testsupport::LpstrProperty(u"TMTAG", "tagged by the optimiser"),
      testsupport::LpwstrProperty(u"Wide", u"\u00E9t\u00E9 \u20AC"),
      testsupport::I4Property(u"Count", -7),
      testsupport::BoolProperty(u"Flag", true),
      testsupport::EmptyProperty(u"Nothing"),
      testsupport::FiletimeProperty(u"When", 0x01D9ABCDEF012345ull),
  };
  std::shared_ptr<PropertySet> set;
  ASSERT_EQ(openUserSet(testsupport::BuildDocSummaryStream(doc), set), S_OK);
  EXPECT_EQ(set->stat(), S_OK);
  for (const Property& p : doc.properties) {
    PropertyValue v;
    ASSERT_EQ(set->readByName(platform::FromUtf16(p.name), v), S_OK) << platform::EncodeNative(platform::FromUtf16(p.name));
    EXPECT_EQ(v.type, p.type);
    EXPECT_EQ(v.bytes, p.value);
  }
  PropertyValue v;
  v.type = 99;
  v.bytes = {1, 2};
  EXPECT_EQ(set->readByName(L"TMTAG2", v), S_FALSE);
  EXPECT_EQ(v.type, 0);
  EXPECT_TRUE(v.bytes.empty());
  EXPECT_EQ(set->readByName(L"TMTA", v), S_FALSE);
  EXPECT_EQ(set->readByName(L"", v), S_FALSE);
}

INSTANTIATE_TEST_SUITE_P(CodePages, EveryType, ::testing::Values(1200, 1252));

TEST_F(PropertySetTest, NamesCompareWithoutRegardToCase) {
  for (std::uint16_t codePage : {1200, 1252}) {
    DocSummaryStream doc;
    doc.codePage = codePage;
    // Characters of Windows-1252's upper half (0x80-0x9F) and of Latin-1.
    doc.properties = {testsupport::I4Property(u"TMTAG", 1), testsupport::I4Property(u"Caf\u00E9", 2),
                      testsupport::I4Property(u"\u0160koda", 3)};
    std::shared_ptr<PropertySet> set;
    ASSERT_EQ(openUserSet(testsupport::BuildDocSummaryStream(doc), set), S_OK);
    PropertyValue v;
    EXPECT_EQ(set->readByName(L"tmtag", v), S_OK);
    EXPECT_EQ(set->readByName(L"TmTaG", v), S_OK);
    EXPECT_EQ(set->readByName(L"CAF\u00C9", v), S_OK) << codePage;
    EXPECT_EQ(v.bytes, Bytes({2, 0, 0, 0}));
    EXPECT_EQ(set->readByName(L"\u0161KODA", v), S_OK) << codePage;
    EXPECT_EQ(v.bytes, Bytes({3, 0, 0, 0}));
    EXPECT_EQ(set->readByName(L"CAFE", v), S_FALSE);
  }
}

TEST_F(PropertySetTest, BehaviourPropertyCanAskForExactCase) {
  DocSummaryStream doc;
  doc.caseSensitive = true;
  doc.properties = {testsupport::I4Property(u"TMTAG", 1)};
  std::shared_ptr<PropertySet> set;
  ASSERT_EQ(openUserSet(testsupport::BuildDocSummaryStream(doc), set), S_OK);
  PropertyValue v;
  EXPECT_EQ(set->readByName(L"TMTAG", v), S_OK);
  EXPECT_EQ(set->readByName(L"tmtag", v), S_FALSE);
}

TEST_F(PropertySetTest, MissingStreamSetOrValue) {
  std::shared_ptr<PropertySet> set;
  EXPECT_EQ(openUserSet({}, set), STG_E_FILENOTFOUND);
  EXPECT_FALSE(set);

  // Only the document summary section: that set opens, the user set is missing.
  DocSummaryStream doc;
  doc.hasUserSection = false;
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openFile(testsupport::BuildDocSummaryStream(doc), storage), S_OK);
  EXPECT_EQ(storage->openPropertySet(platform::kFmtidUserDefinedProperties, set), STG_E_FILENOTFOUND);
  EXPECT_EQ(storage->openPropertySet(platform::kFmtidDocSummaryInformation, set), S_OK);
  PropertyValue v;
  EXPECT_EQ(set->readByName(L"TMTAG", v), S_FALSE);  // no dictionary at all
  // Other sets live in "\x05SummaryInformation", which this file lacks.
  const platform::FormatId summary = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                      0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};
  EXPECT_EQ(storage->openPropertySet(summary, set), STG_E_FILENOTFOUND);

  // A name in the dictionary whose id has no value in the set.
  doc = DocSummaryStream();
  doc.properties = {testsupport::I4Property(u"TMTAG", 1), testsupport::I4Property(u"Other", 2)};
  DocSummaryLayout layout;
  Bytes stream = testsupport::BuildDocSummaryStream(doc, &layout);
  // Table entries: dictionary, code page, TMTAG, Other; renumber TMTAG's value.
  PutU32(stream, layout.userSetOffset + 8 + 8 * 2, 0x1000);
  ASSERT_EQ(openUserSet(stream, set), S_OK);
  EXPECT_EQ(set->readByName(L"TMTAG", v), S_FALSE);
  EXPECT_EQ(set->readByName(L"Other", v), S_OK);
}

TEST_F(PropertySetTest, FirstSectionIsKeptAsGiven) {
  // A real-looking document summary section before the user section.
  DocSummaryStream doc;
  Bytes first = {0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 16, 0, 0, 0, 2, 0, 0, 0, 0xE4, 0x04, 0, 0};
  PutU32(first, 0, static_cast<std::uint32_t>(first.size()));
  doc.firstSection = first;
  doc.properties = {testsupport::I4Property(u"TMTAG", 1)};
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openFile(testsupport::BuildDocSummaryStream(doc), storage, 4), S_OK);
  std::shared_ptr<PropertySet> set;
  ASSERT_EQ(storage->openPropertySet(platform::kFmtidUserDefinedProperties, set), S_OK);
  PropertyValue v;
  EXPECT_EQ(set->readByName(L"TMTAG", v), S_OK);
  ASSERT_EQ(storage->openPropertySet(platform::kFmtidDocSummaryInformation, set), S_OK);
}

TEST_F(PropertySetTest, SetOutlivesItsStorage) {
  DocSummaryStream doc;
  doc.properties = {testsupport::I4Property(u"TMTAG", 1)};
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(openFile(testsupport::BuildDocSummaryStream(doc), storage), S_OK);
  std::shared_ptr<PropertySet> set;
  ASSERT_EQ(storage->openPropertySet(platform::kFmtidUserDefinedProperties, set), S_OK);
  storage.reset();
  PropertyValue v;
  EXPECT_EQ(set->readByName(L"TMTAG", v), S_OK);
}

TEST_F(PropertySetTest, OversizedStreamIsRefused) {
  DocSummaryStream doc;
  doc.firstSection.assign(2 * 1024 * 1024, 0);
  PutU32(doc.firstSection, 0, static_cast<std::uint32_t>(doc.firstSection.size()));
  doc.properties = {testsupport::I4Property(u"TMTAG", 1)};
  std::shared_ptr<PropertySet> set;
  EXPECT_EQ(openUserSet(testsupport::BuildDocSummaryStream(doc), set), STG_E_INVALIDHEADER);
}

// Sections whose size field is wrong either way are read as far as the
// stream holds them; every value comes back whole.
TEST_F(PropertySetTest, LooselyWrittenSectionsKeepTheirProperties) {
  for (std::uint16_t codePage : {1200, 1252}) {
    const std::vector<Property> properties = {testsupport::LpstrProperty(u"TMTAG", "tagged"),
                                              testsupport::I4Property(u"Other", 9)};
    for (const auto& loose : testsupport::LooseDocSummaryStreams(properties, codePage)) {
      std::shared_ptr<PropertySet> set;
      ASSERT_EQ(openUserSet(loose.stream, set), S_OK) << loose.what << ", code page " << codePage;
      for (const Property& p : properties) {
        PropertyValue v;
        ASSERT_EQ(set->readByName(platform::FromUtf16(p.name), v), S_OK) << loose.what;
        EXPECT_EQ(v.type, p.type) << loose.what;
        EXPECT_EQ(v.bytes, p.value) << loose.what;
      }
      PropertyValue v;
      EXPECT_EQ(set->readByName(L"TMTAG2", v), S_FALSE) << loose.what;
    }
  }
  // A value that lies past the stream is still broken, whatever the size says.
  DocSummaryStream doc;
  doc.hasFirstSection = false;
  doc.properties = {testsupport::LpstrProperty(u"TMTAG", "x")};
  DocSummaryLayout l;
  Bytes b = testsupport::BuildDocSummaryStream(doc, &l);
  PutU32(b, l.userSetOffset, 16);
  PutU32(b, l.valueOffsets[0] + 4, static_cast<std::uint32_t>(b.size()));
  std::shared_ptr<PropertySet> set;
  ASSERT_EQ(openUserSet(b, set), S_OK);
  PropertyValue v;
  EXPECT_EQ(set->readByName(L"TMTAG", v), STG_E_INVALIDHEADER);
}

// Each malformed field on its own: a failure code at open or at lookup,
// never a crash or a read outside the stream.
TEST_F(PropertySetTest, MalformedFields) {
  DocSummaryStream doc;
  doc.codePage = 1200;
  doc.properties = {testsupport::LpstrProperty(u"TMTAG", "x"), testsupport::I4Property(u"Other", 2)};
  DocSummaryLayout l;
  const Bytes good = testsupport::BuildDocSummaryStream(doc, &l);
  const std::uint64_t user = l.userSetOffset;
  struct Case {
    const char* what;
    std::function<void(Bytes&)> breakIt;
    HRESULT atOpen;
    HRESULT atLookup;  // for "TMTAG", when the set opens
  };
  const Case cases[] = {
      {"byte order", [](Bytes& b) { b[0] = 0xFF; }, STG_E_INVALIDHEADER, S_OK},
      {"version 2", [](Bytes& b) { b[2] = 2; }, STG_E_INVALIDHEADER, S_OK},
      {"too short for a header", [](Bytes& b) { b.resize(20); }, STG_E_INVALIDHEADER, S_OK},
      {"set count", [](Bytes& b) { PutU32(b, 24, 0x10000000); }, STG_E_INVALIDHEADER, S_OK},
      {"set offset past the end", [&](Bytes& b) { PutU32(b, l.setListOffset + 20 + 16, 0x7FFFFFF0); },
       STG_E_INVALIDHEADER, S_OK},
      // A size field is read only as far as the stream holds the set.
      {"set size past the end", [&](Bytes& b) { PutU32(b, user, 0xFFFFFFF0); }, S_OK, S_OK},
      {"set size below its header", [&](Bytes& b) { PutU32(b, user, 4); }, S_OK, S_OK},
      {"set header cut by the stream's end", [&](Bytes& b) { b.resize(user + 6); }, STG_E_INVALIDHEADER, S_OK},
      {"property table past the stream", [&](Bytes& b) { PutU32(b, user + 4, static_cast<std::uint32_t>((b.size() - user) / 8)); },
       STG_E_INVALIDHEADER, S_OK},
      {"property count", [&](Bytes& b) { PutU32(b, user + 4, 0x20000000); }, STG_E_INVALIDHEADER, S_OK},
      {"property offset past the set", [&](Bytes& b) { PutU32(b, user + 8 + 8 * 2 + 4, 0xFFFFFFFC); },
       STG_E_INVALIDHEADER, S_OK},
      {"dictionary entry count", [&](Bytes& b) { PutU32(b, l.dictionaryOffset, 0x40000000); },
       STG_E_INVALIDHEADER, S_OK},
      {"dictionary name length", [&](Bytes& b) { PutU32(b, l.dictionaryOffset + 8, 0x80000000); },
       STG_E_INVALIDHEADER, S_OK},
      {"code page type", [&](Bytes& b) { PutU32(b, user + testsupport::GetU32(b, user + 8 + 8 + 4), 0x1F); },
       STG_E_INVALIDHEADER, S_OK},
      {"string length past the set", [&](Bytes& b) { PutU32(b, l.valueOffsets[0] + 4, 0x7FFFFFFF); }, S_OK,
       STG_E_INVALIDHEADER},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    c.breakIt(b);
    std::shared_ptr<PropertySet> set;
    ASSERT_EQ(openUserSet(b, set), c.atOpen) << c.what;
    if (c.atOpen != S_OK) {
      EXPECT_FALSE(set) << c.what;
      continue;
    }
    PropertyValue v;
    EXPECT_EQ(set->readByName(L"TMTAG", v), c.atLookup) << c.what;
    EXPECT_EQ(set->readByName(L"Other", v), S_OK) << c.what;
  }
}

// Every byte of a stream changed in turn: any outcome but a crash.
TEST_F(PropertySetTest, EveryByteMutated) {
  for (std::uint16_t codePage : {1200, 1252}) {
    DocSummaryStream doc;
    doc.codePage = codePage;
    doc.properties = {testsupport::LpstrProperty(u"TMTAG", "x"), testsupport::LpwstrProperty(u"W", u"yz"),
                      testsupport::BoolProperty(u"B", false)};
    const Bytes good = testsupport::BuildDocSummaryStream(doc);
    // One file, patched in place through the layer itself.
    CfbWriter w(3);
    w.addStream(CfbWriter::kRoot, kDocSummary, good);
    const std::string path = folder_.file("mutated" + std::to_string(codePage) + ".xls");
    cfbtest::WriteFile(path, w.build());
    for (std::size_t at = 0; at < good.size(); ++at) {
      for (std::uint8_t value : {std::uint8_t{0xFF}, std::uint8_t{0x7F}, std::uint8_t{0x00}}) {
        std::shared_ptr<Storage> storage;
        ASSERT_EQ(cfbtest::Open(path, platform::StorageMode::kReadWriteExclusive, storage), S_OK);
        std::shared_ptr<platform::Stream> s;
        ASSERT_EQ(storage->openStream(platform::FromUtf16(kDocSummary), s), S_OK);
        Bytes b = good;
        b[at] = value;
        std::uint32_t done = 0;
        ASSERT_EQ(s->write(b.data(), static_cast<std::uint32_t>(b.size()), done), S_OK);
        std::shared_ptr<PropertySet> set;
        const HRESULT hr = storage->openPropertySet(platform::kFmtidUserDefinedProperties, set);
        EXPECT_TRUE(hr == S_OK || hr == STG_E_INVALIDHEADER || hr == STG_E_FILENOTFOUND) << at;
        if (hr != S_OK) continue;
        for (const wchar_t* name : {L"TMTAG", L"W", L"B", L"?"}) {
          PropertyValue v;
          const HRESULT r = set->readByName(name, v);
          EXPECT_TRUE(r == S_OK || r == S_FALSE || r == STG_E_INVALIDHEADER) << at;
          EXPECT_LE(v.bytes.size(), good.size());
        }
      }
    }
  }
}

TEST_F(PropertySetTest, DamagedStreamChainFailsToOpen) {
  DocSummaryStream doc;
  doc.properties = {testsupport::I4Property(u"TMTAG", 1)};
  CfbWriter w(3);
  const int node = w.addStream(CfbWriter::kRoot, kDocSummary, testsupport::BuildDocSummaryStream(doc));
  Bytes bytes = w.build();
  ASSERT_GE(w.chain(node).size(), 2u);
  PutU32(bytes, w.miniFatEntryOffset(w.chain(node)[0]), 0x00FFFFFF);
  const std::string path = folder_.file("damaged.xls");
  cfbtest::WriteFile(path, bytes);
  std::shared_ptr<Storage> storage;
  ASSERT_EQ(cfbtest::Open(path, platform::StorageMode::kReadDenyWrite, storage), S_OK);
  std::shared_ptr<PropertySet> set;
  EXPECT_EQ(storage->openPropertySet(platform::kFmtidUserDefinedProperties, set), STG_E_DOCFILECORRUPT);
}

}  // namespace
