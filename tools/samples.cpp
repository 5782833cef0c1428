#include "samples.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "charted_workbook.h"

namespace samples {

namespace {

using namespace testsupport;

void MakeFolder(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directory(testsupport::FsPath(path), error);
  if (error) throw std::runtime_error("cannot make folder " + path);
}

}  // namespace

Bytes MakeWorkbook(const WorkbookKind& kind) {
  ChartedWorkbookRecipe recipe;
  recipe.moved = kind.moved;
  recipe.password = kind.password;
  WorkbookFileOptions file;
  if (kind.tagged) file.tagProperty = u"TMTAG";
  return BuildChartedWorkbookFile(recipe, file);
}

std::vector<Sample> WriteSampleFolder(const std::string& folder) {
  MakeFolder(folder);
  MakeFolder(folder + "/healthy");
  MakeFolder(folder + "/damaged");

  WorkbookKind sound;
  WorkbookKind untagged;
  untagged.tagged = false;
  WorkbookKind damaged;
  damaged.moved = {12};
  WorkbookKind twoDamaged;
  twoDamaged.moved = {6, 18};
  WorkbookKind untaggedDamaged = damaged;
  untaggedDamaged.tagged = false;
  WorkbookKind password;
  password.password = true;

  const std::vector<std::pair<Sample, Bytes>> files = {
      {{"healthy/Tagged and sound.xls", "[ok],", "[ok],"}, MakeWorkbook(sound)},
      {{"healthy/Untagged.xls", "[ok],", "[ok],"}, MakeWorkbook(untagged)},
      {{"damaged/Quarterly report, 2026.xls", "[fixable],", "[fixed],"}, MakeWorkbook(damaged)},
      {{"damaged/Two charts.xls", "[fixable],", "[fixed],"}, MakeWorkbook(twoDamaged)},
      // Untagged workbooks are never the optimiser's: left alone, damage or not.
      {{"damaged/Untagged but damaged.xls", "[ok],", "[ok],"}, MakeWorkbook(untaggedDamaged)},
      {{"Password protected.xls", "[password],", "[password],"}, MakeWorkbook(password)},
      {{"Not a workbook.xls", "[not BIFF8 workbook],", "[not BIFF8 workbook],"},
       Bytes{'J', 'u', 's', 't', ' ', 't', 'e', 'x', 't', '\n'}},
  };
  std::vector<Sample> selected;
  for (const auto& [sample, bytes] : files) {
    WriteFileBytes(folder + "/" + sample.path, bytes);
    selected.push_back(sample);
  }
  // Not selected: other extensions, whatever they hold.
  WriteFileBytes(folder + "/Notes.txt", Bytes{'n', 'o', 't', 'e', 's', '\n'});
  WriteFileBytes(folder + "/damaged/Upper case.XLS", MakeWorkbook(damaged));
  return selected;
}

void WriteBenchTree(const std::string& folder, int count) {
  WorkbookKind kind;
  kind.tagged = false;
  const Bytes workbook = MakeWorkbook(kind);
  MakeFolder(folder);
  for (int i = 0; i < count; ++i) {
    const std::string sub = folder + "/batch" + std::to_string(i / 100);
    if (i % 100 == 0) MakeFolder(sub);
    WriteFileBytes(sub + "/book" + std::to_string(i) + ".xls", workbook);
  }
}

}  // namespace samples
