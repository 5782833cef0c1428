#include "workbook_file.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <random>
#else
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

std::filesystem::path FsPath(const std::string& path) {
#ifdef _WIN32
  return std::filesystem::u8path(path);
#else
  return std::filesystem::path(path);
#endif
}

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::string CorpusDir() {
  const std::string dir = std::string(BM_SOURCE_DIR) + "/../shared/corpus";
  std::error_code error;
  return std::filesystem::is_directory(FsPath(dir), error) ? dir : std::string();
}

#ifdef _WIN32

TempDir::TempDir() {
  std::random_device seed;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const std::filesystem::path candidate = base / ("bm-test-" + std::to_string(seed()));
    if (std::filesystem::create_directory(candidate)) path_ = candidate.u8string();
  }
  if (path_.empty()) throw std::runtime_error("no scratch folder");
}

TempDir::~TempDir() {
  std::error_code error;
  std::filesystem::remove_all(FsPath(path_), error);
}

std::string TempDir::file(const std::string& name) const { return path_ + "\\" + name; }

#else

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

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

#endif

}  // namespace testsupport
