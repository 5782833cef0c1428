// Small helpers shared by the compound-file and property-set tests: a
// scratch folder, whole-file I/O, opening by narrow path, reading a stream
// whole, and the corpus folder beside the repository.
#pragma once

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/compound_file.h"
#include "platform/text.h"
#include "workbook_file.h"

namespace cfbtest {

using Bytes = std::vector<std::uint8_t>;

using ScratchFolder = testsupport::TempDir;

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(testsupport::FsPath(path), std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(f.good()) << path;
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream f(testsupport::FsPath(path), std::ios::binary);
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
inline std::string CorpusDir() { return testsupport::CorpusDir(); }

}  // namespace cfbtest
