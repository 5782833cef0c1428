// Small helpers shared by the compound-file and property-set tests: a
// scratch folder, whole-file I/O, opening by narrow path, reading a stream
// whole, and the corpus folder beside the repository.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/compound_file.h"
#include "platform/text.h"

namespace cfbtest {

using Bytes = std::vector<std::uint8_t>;

class ScratchFolder {
 public:
  ScratchFolder() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/cfbtestXXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) != nullptr) path_ = name.data();
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(f.good()) << path;
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline HRESULT Open(const std::string& path, platform::StorageMode mode, std::shared_ptr<platform::Storage>& out) {
  return platform::Storage::open(platform::DecodeNative(path), mode, out);
}

// Reads from the current position to the end, in `chunk`-byte reads; the
// result is the first failure (or S_OK) and `out` what was read before it.
inline HRESULT ReadRest(platform::Stream& s, Bytes& out, std::uint32_t chunk = 1 << 16) {
  out.clear();
  std::vector<std::uint8_t> buf(chunk);
  for (;;) {
    std::uint32_t done = 0;
    const HRESULT hr = s.read(buf.data(), chunk, done);
    out.insert(out.end(), buf.begin(), buf.begin() + done);
    if (platform::Failed(hr) || done == 0) return hr;
  }
}

// Deterministic bytes that differ between streams and positions.
inline Bytes Pattern(std::size_t size, std::uint32_t seed) {
  Bytes b(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v = static_cast<std::uint8_t>(x);
  }
  return b;
}

// `<repo>/../shared/corpus`, or "" when it is not there.
inline std::string CorpusDir() {
  const std::string dir = std::string(BM_SOURCE_DIR) + "/../shared/corpus";
  struct stat st;
  return (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? dir : std::string();
}

}  // namespace cfbtest
