// The real workbooks beside the repository: every one opens and indexes, or
// fails with its documented class. Record counts were computed once with an
// independent reader (a generic compound-file library and a few lines of
// record walking), not with this code.
#include <gtest/gtest.h>

#include <dirent.h>

#include "errors/Exception.h"
#include "platform/text.h"
#include "workbook/BiffRecordReader.h"
#include "workbook/OptimiserTag.h"
#include "workbook/SubstreamDiscovery.h"
#include "workbook_file.h"

using namespace bookmender;

namespace {

std::string Corpus() {
  const std::string dir = testsupport::CorpusDir();
  return dir;
}

// What opening, the tag check, indexing and validation give for one file.
std::string Outcome(const std::string& path, std::size_t* records = nullptr) {
  try {
    WorkbookStream ws;
    ws.open(platform::DecodeNative(path), true);
    HasOptimiserTag(ws);
    BiffRecordList list = ReadBiffRecords(ws);
    if (records) *records = list.size();
    ValidateBiffRecords(list);
    for (const SheetSubstream& sheet : FindSheetSubstreams(list)) {
      FindSheetEmbeddedChartSubstreams(list, sheet.bofIndex);
    }
    return "ok";
  } catch (const WorkbookStreamOpenFileNotFoundException&) {
    return "not found";
  } catch (const WorkbookStreamOpenAccessDeniedException&) {
    return "access denied";
  } catch (const WorkbookStreamOpenSharingViolationException&) {
    return "sharing violation";
  } catch (const WorkbookStreamOpenNotBIFF8Exception&) {
    return "not biff8";
  } catch (const PasswordProtectedWorkbookException&) {
    return "password";
  } catch (const Exception& e) {
    return platform::EncodeNative(e.fullMessage());
  }
}

}  // namespace

TEST(CorpusWorkbooks, SoundWorkbooksIndexLikeAnIndependentReader) {
  if (Corpus().empty()) GTEST_SKIP() << "no real workbooks beside the repository (../shared/corpus)";
  const std::pair<const char*, std::size_t> expected[] = {
      {"13224.xls", 153},   {"31749.xls", 2388},   {"44861.xls", 2222},
      {"46137.xls", 1125},  {"47251.xls", 1401},   {"WithChart.xls", 596},
      {"WithThreeCharts.xls", 1057},               {"drawings.xls", 701},
      {"ConditionalFormattingSamples.xls", 3691},
  };
  for (const auto& [name, count] : expected) {
    std::size_t records = 0;
    EXPECT_EQ(Outcome(Corpus() + "/" + name, &records), "ok") << name;
    EXPECT_EQ(records, count) << name;
  }
}

TEST(CorpusWorkbooks, BrokenOrForeignWorkbooksFailWithTheirClass) {
  if (Corpus().empty()) GTEST_SKIP() << "no real workbooks beside the repository (../shared/corpus)";
  EXPECT_EQ(Outcome(Corpus() + "/password.xls"), "password");
  EXPECT_EQ(Outcome(Corpus() + "/testEXCEL_95.xls"), "not biff8");
  EXPECT_EQ(Outcome(Corpus() + "/61300.xls"), "I/O exception [Seek beyond end of stream]");
}

TEST(CorpusWorkbooks, UntaggedRealWorkbooksHaveNoTag) {
  if (Corpus().empty()) GTEST_SKIP() << "no real workbooks beside the repository (../shared/corpus)";
  for (const char* name : {"13224.xls", "44861.xls", "drawings.xls", "47251.xls"}) {
    WorkbookStream ws;
    ws.open(platform::DecodeNative(Corpus() + "/" + name), true);
    EXPECT_FALSE(HasOptimiserTag(ws)) << name;
  }
}

TEST(CorpusWorkbooks, TaggedCopiesAreRecognised) {
  if (Corpus().empty()) GTEST_SKIP() << "no real workbooks beside the repository (../shared/corpus)";
  testsupport::TempDir dir;
  for (const char* name : {"13224.xls", "44861.xls", "47251.xls", "ConditionalFormattingSamples.xls"}) {
    const testsupport::Bytes original = testsupport::ReadFileBytes(Corpus() + "/" + name);
    const std::string path = dir.file(name);
    testsupport::WriteFileBytes(path, testsupport::AddUserProperty(original, u"TMTAG"));
    WorkbookStream ws;
    ws.open(platform::DecodeNative(path), true);
    EXPECT_TRUE(HasOptimiserTag(ws)) << name;
    // The Workbook stream itself is untouched by tagging.
    std::size_t records = 0;
    EXPECT_EQ(Outcome(path, &records), "ok") << name;
    EXPECT_GT(records, 100u) << name;
  }
}

TEST(CorpusWorkbooks, MalformedFilesEndWithADocumentedOutcome) {
  if (Corpus().empty()) GTEST_SKIP() << "no real workbooks beside the repository (../shared/corpus)";
  const std::string folder = Corpus() + "/malformed";
  DIR* d = opendir(folder.c_str());
  ASSERT_NE(d, nullptr);
  int files = 0;
  while (dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name.size() < 4 || name.substr(name.size() - 4) != ".xls") continue;
    ++files;
    // Whatever the damage: an exception of the family, never a crash, a hang
    // or a foreign exception (which would escape this test).
    // Files that exist and can be read are never "not found", "access
    // denied" or in use.
    const std::string outcome = Outcome(folder + "/" + name);
    const bool documented = outcome == "ok" || outcome == "not biff8" || outcome == "password" ||
                            outcome.rfind("I/O exception [", 0) == 0 ||
                            outcome.rfind("General exception [Unexpected end of file", 0) == 0 ||
                            outcome.rfind("Error opening workbook stream [HRESULT(8003", 0) == 0;
    EXPECT_TRUE(documented) << name << ": " << outcome;
  }
  closedir(d);
  EXPECT_GE(files, 10);
}
