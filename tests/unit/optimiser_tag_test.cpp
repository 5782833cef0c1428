// The optimiser's tag: a user-defined property "TMTAG" or "TMTAG2".
#include <gtest/gtest.h>

#include "platform/text.h"
#include "workbook/BiffRecordReader.h"
#include "workbook/OptimiserTag.h"
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
