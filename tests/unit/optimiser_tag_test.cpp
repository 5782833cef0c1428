// The optimiser's tag: a user-defined property "TMTAG" or "TMTAG2".
#include <gtest/gtest.h>

#include "platform/text.h"
#include "workbook/BiffRecordReader.h"
#include "workbook/OptimiserTag.h"
#include "cfb_writer.h"
#include "property_set_writer.h"
#include "workbook_test_util.h"

using namespace bookmender;
using testsupport::BiffBuilder;
using testsupport::TempDir;

namespace {

testsupport::Bytes Stream() {
  BiffBuilder b;
  b.bof();
  b.eof();
  return b.bytes();
}

bool Tagged(const TempDir& dir, const std::u16string& property, int version = 3) {
  testsupport::WorkbookFileOptions options;
  options.tagProperty = property;
  options.majorVersion = version;
  WorkbookStream ws;
  ws.open(platform::DecodeNative(WriteWorkbook(dir, Stream(), options)), true);
  const bool tagged = HasOptimiserTag(ws);
  // The stream stays open and usable after the check.
  ws.seek(0, SeekFromStart);
  EXPECT_EQ(ReadBiffRecords(ws).size(), 2u);
  return tagged;
}

}  // namespace

TEST(HasOptimiserTag, EitherPropertyNameTags) {
  TempDir dir;
  EXPECT_TRUE(Tagged(dir, u"TMTAG"));
  EXPECT_TRUE(Tagged(dir, u"TMTAG2"));
  EXPECT_TRUE(Tagged(dir, u"tmtag"));  // property names compare without case
  EXPECT_TRUE(Tagged(dir, u"TMTAG", 4));
}

TEST(HasOptimiserTag, OtherOrNoPropertiesDoNotTag) {
  TempDir dir;
  EXPECT_FALSE(Tagged(dir, u""));
  EXPECT_FALSE(Tagged(dir, u"TMTAG3"));
  EXPECT_FALSE(Tagged(dir, u"TMTA"));
}

namespace {

// A workbook whose "\x05DocumentSummaryInformation" stream is given whole.
std::string WithSummary(const TempDir& dir, const testsupport::Bytes& summary, const std::string& name) {
  testsupport::CfbWriter writer;
  writer.addStream(testsupport::CfbWriter::kRoot, u"Workbook", Stream());
  writer.addStream(testsupport::CfbWriter::kRoot, u"\x05" u"DocumentSummaryInformation", summary);
  const std::string path = dir.file(name);
  testsupport::WriteFileBytes(path, writer.build());
  return path;
}

bool TagOf(const std::string& path) {
  WorkbookStream ws;
  ws.open(platform::DecodeNative(path), true);
  return HasOptimiserTag(ws);
}

}  // namespace

TEST(HasOptimiserTag, AnyValueTypeAndEitherDictionaryKind) {
  using namespace testsupport;
  TempDir dir;
  const Property values[] = {
      LpstrProperty(u"TMTAG", "x"), LpwstrProperty(u"TMTAG", u"y"), I4Property(u"TMTAG", 7),
      BoolProperty(u"TMTAG", false), EmptyProperty(u"TMTAG"), FiletimeProperty(u"TMTAG2", 1),
  };
  int n = 0;
  for (std::uint16_t codePage : {1200, 1252}) {
    for (const Property& p : values) {
      DocSummaryStream summary;
      summary.codePage = codePage;
      summary.properties = {I4Property(u"Other", 1), p};
      EXPECT_TRUE(TagOf(WithSummary(dir, BuildDocSummaryStream(summary), std::to_string(n++) + ".xls")))
          << codePage << " type " << p.type;
    }
  }
  DocSummaryStream both;
  both.properties = {EmptyProperty(u"TMTAG2"), EmptyProperty(u"TMTAG")};
  EXPECT_TRUE(TagOf(WithSummary(dir, BuildDocSummaryStream(both), "both.xls")));
}

TEST(HasOptimiserTag, NoUserSectionMeansNoTag) {
  using namespace testsupport;
  TempDir dir;
  DocSummaryStream summaryOnly;
  summaryOnly.hasUserSection = false;
  EXPECT_FALSE(TagOf(WithSummary(dir, BuildDocSummaryStream(summaryOnly), "a.xls")));
  DocSummaryStream others;
  others.properties = {LpstrProperty(u"Company", "TMTAG")};  // a value is no name
  EXPECT_FALSE(TagOf(WithSummary(dir, BuildDocSummaryStream(others), "b.xls")));
}

// Section sizes written loosely, as other readers accept them: the tag is
// found where it is, and its absence is no error.
TEST(HasOptimiserTag, LooselyWrittenSectionsAreRead) {
  using namespace testsupport;
  TempDir dir;
  int n = 0;
  for (std::uint16_t codePage : {1200, 1252}) {
    for (const auto& loose : LooseDocSummaryStreams({I4Property(u"Other", 1), LpstrProperty(u"TMTAG", "1")}, codePage))
      EXPECT_TRUE(TagOf(WithSummary(dir, loose.stream, std::to_string(n++) + ".xls"))) << loose.what;
    for (const auto& loose : LooseDocSummaryStreams({I4Property(u"Other", 1), LpstrProperty(u"Company", "TMTAG")}, codePage))
      EXPECT_FALSE(TagOf(WithSummary(dir, loose.stream, std::to_string(n++) + ".xls"))) << loose.what;
  }
}

TEST(HasOptimiserTag, BrokenPropertySetIsAnIOException) {
  using namespace testsupport;
  TempDir dir;
  DocSummaryStream summary;
  summary.properties = {LpstrProperty(u"TMTAG", "1")};
  DocSummaryLayout layout;
  Bytes bytes = BuildDocSummaryStream(summary, &layout);
  // The user-defined set's offset points far outside the stream.
  PutU32(bytes, layout.setListOffset + 20 + 16, 0x7FFFFFF0u);
  const std::string path = WithSummary(dir, bytes, "broken.xls");
  WorkbookStream ws;
  ws.open(platform::DecodeNative(path), true);
  try {
    HasOptimiserTag(ws);
    FAIL() << "no exception";
  } catch (const IOException& e) {
    const std::wstring message = e.fullMessage();
    EXPECT_EQ(message.rfind(L"I/O exception [HRESULT(8003", 0), 0u) << platform::EncodeNative(message);
    EXPECT_NE(message.find(L" - opening user-defined property set]"), std::wstring::npos)
        << platform::EncodeNative(message);
  }
}
