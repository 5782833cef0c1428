#include "workbook_file.h"

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "cfb_writer.h"
#include "property_set_writer.h"
#include "retag.h"

namespace testsupport {

Bytes BuildWorkbookFile(const Bytes& workbookStream, const WorkbookFileOptions& options) {
  CfbWriter writer(options.majorVersion);
  writer.addStream(CfbWriter::kRoot, options.streamName, workbookStream);
  if (!options.tagProperty.empty()) {
    DocSummaryStream summary;
    summary.properties.push_back(TagProperty(options.tagProperty));
    writer.addStream(CfbWriter::kRoot, u"\x05" u"DocumentSummaryInformation", BuildDocSummaryStream(summary));
  }
  return writer.build();
}

Bytes AddUserProperty(const Bytes& compoundFile, const std::u16string& name) {
  Bytes out;
  std::string error;
  if (!Retag(compoundFile, TagProperty(name), out, &error)) throw std::runtime_error("retag: " + error);
  return out;
}

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::string CorpusDir() {
  const std::string dir = std::string(BM_SOURCE_DIR) + "/../shared/corpus";
  struct stat st;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? dir : std::string();
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/bm-test-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  ::nftw(
      path_.c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

}  // namespace testsupport
