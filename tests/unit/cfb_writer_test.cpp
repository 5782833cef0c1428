// The test builders themselves: retagging keeps every stream and adds the
// property; the SHA-256 helper matches published digests.
#include <map>

#include "cfb_test_util.h"
#include "cfb_writer.h"
#include "property_set_writer.h"
#include "retag.h"
#include "sha256.h"

namespace {

using cfbtest::Bytes;
using platform::EntryType;
using platform::PropertyValue;
using platform::Storage;
using testsupport::CfbWriter;

// Every stream of a file by its path of names, with its bytes.
std::map<std::u16string, Bytes> StreamsOf(const std::string& path, std::shared_ptr<Storage>* keep = nullptr) {
  std::map<std::u16string, Bytes> out;
  std::shared_ptr<Storage> storage;
  EXPECT_EQ(cfbtest::Open(path, platform::StorageMode::kReadDenyWrite, storage), S_OK) << path;
  if (!storage) return out;
  std::map<std::uint32_t, std::u16string> paths;
  for (const auto& e : storage->entries()) {
    paths[e.id] = e.type == EntryType::kRoot ? u"" : paths[e.parent] + u"/" + e.name;
    if (e.type != EntryType::kStream) continue;
    std::shared_ptr<platform::Stream> s;
    EXPECT_EQ(storage->openStreamEntry(e.id, s), S_OK);
    Bytes data;
    EXPECT_EQ(cfbtest::ReadRest(*s, data), S_OK);
    out[paths[e.id]] = data;
  }
  if (keep) *keep = storage;
  return out;
}

const std::u16string kDocSummaryPath = u"/\x05" u"DocumentSummaryInformation";

class RetagTest : public ::testing::Test {
 protected:
  cfbtest::ScratchFolder folder_;
};

TEST_F(RetagTest, CorpusWorkbooksKeepEveryStream) {
  const std::string dir = cfbtest::CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "corpus not found beside the repository (../shared/corpus)";
  // With a first section only, with a user section already (Excel 95 and
  // 2003 files), and without any DocumentSummaryInformation.
  for (const char* name : {"44861.xls", "ConditionalFormattingSamples.xls", "testEXCEL_95.xls", "47251.xls"}) {
    const std::string source = dir + "/" + name, target = folder_.file(name);
    std::string error;
    ASSERT_TRUE(testsupport::RetagFile(source, target, testsupport::TagProperty(u"TMTAG"), &error)) << error;
    const auto before = StreamsOf(source);
    std::shared_ptr<Storage> storage;
    const auto after = StreamsOf(target, &storage);
    ASSERT_TRUE(storage);
    for (const auto& [path, data] : before) {
      if (path == kDocSummaryPath) continue;
      ASSERT_TRUE(after.count(path)) << name;
      EXPECT_EQ(after.at(path), data) << name;
    }
    EXPECT_EQ(after.size(), before.size() + (before.count(kDocSummaryPath) ? 0 : 1)) << name;

    std::shared_ptr<platform::PropertySet> set;
    ASSERT_EQ(storage->openPropertySet(platform::kFmtidUserDefinedProperties, set), S_OK) << name;
    PropertyValue v;
    EXPECT_EQ(set->readByName(L"TMTAG", v), S_OK) << name;

    // The document summary section and earlier user properties are kept.
    testsupport::DocSummaryStream was, now;
    ASSERT_TRUE(testsupport::ParseDocSummaryStream(after.at(kDocSummaryPath), now));
    if (before.count(kDocSummaryPath)) {
      ASSERT_TRUE(testsupport::ParseDocSummaryStream(before.at(kDocSummaryPath), was));
      EXPECT_EQ(now.firstSection, was.firstSection) << name;
      for (const auto& p : was.properties) {
        EXPECT_EQ(set->readByName(platform::FromUtf16(p.name), v), S_OK) << name;
        EXPECT_EQ(v.type, p.type);
      }
      EXPECT_EQ(now.properties.size(), was.properties.size() + 1) << name;
    }
  }
}

TEST_F(RetagTest, SameNameReplacesAnotherNameAdds) {
  CfbWriter w(4);
  w.addStream(CfbWriter::kRoot, u"Workbook", cfbtest::Pattern(9000, 3));
  Bytes once, twice, thrice;
  std::string error;
  ASSERT_TRUE(testsupport::Retag(w.build(), testsupport::I4Property(u"TMTAG", 1), once, &error)) << error;
  ASSERT_TRUE(testsupport::Retag(once, testsupport::I4Property(u"tmtag", 2), twice, &error)) << error;
  ASSERT_TRUE(testsupport::Retag(twice, testsupport::TagProperty(u"TMTAG2"), thrice, &error)) << error;
  const std::string path = folder_.file("thrice.xls");
  cfbtest::WriteFile(path, thrice);
  std::shared_ptr<Storage> storage;
  const auto streams = StreamsOf(path, &storage);
  ASSERT_TRUE(storage);
  EXPECT_EQ(storage->sectorSize(), 4096u);
  EXPECT_EQ(streams.at(u"/Workbook"), cfbtest::Pattern(9000, 3));
  testsupport::DocSummaryStream doc;
  ASSERT_TRUE(testsupport::ParseDocSummaryStream(streams.at(kDocSummaryPath), doc));
  ASSERT_EQ(doc.properties.size(), 2u);
  std::shared_ptr<platform::PropertySet> set;
  ASSERT_EQ(storage->openPropertySet(platform::kFmtidUserDefinedProperties, set), S_OK);
  PropertyValue v;
  ASSERT_EQ(set->readByName(L"TMTAG", v), S_OK);
  EXPECT_EQ(v.bytes, Bytes({2, 0, 0, 0}));
  EXPECT_EQ(set->readByName(L"TMTAG2", v), S_OK);
}

TEST_F(RetagTest, UnreadableInputIsReported) {
  Bytes out;
  std::string error;
  EXPECT_FALSE(testsupport::Retag(Bytes(100, 7), testsupport::TagProperty(), out, &error));
  EXPECT_FALSE(error.empty());
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(testsupport::Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string abc = "abc";
  EXPECT_EQ(testsupport::Sha256Hex(Bytes(abc.begin(), abc.end())),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Two blocks, and a length that puts the padding across a block boundary.
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(testsupport::Sha256Hex(Bytes(two.begin(), two.end())),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(testsupport::Sha256Hex(Bytes(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
