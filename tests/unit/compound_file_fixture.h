// The fixture of the compound-file tests: a small workbook-like file written
// by the test writer, and a scratch folder to open such files from.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "cfb_test_util.h"
#include "cfb_writer.h"
#include "platform/compound_file.h"

namespace cfbtest {

using platform::Storage;
using platform::StorageMode;
using platform::Stream;
using testsupport::CfbWriter;

inline constexpr auto kRead = StorageMode::kReadDenyWrite;
inline constexpr auto kWrite = StorageMode::kReadWriteExclusive;

// A small workbook-like file: regular and mini streams (including the sizes
// either side of the cutoff), an empty stream and a nested storage.
struct Sample {
  explicit Sample(int version, bool reverse = false) : writer(version) {
    writer.setReverseChains(reverse);
    workbook = writer.addStream(CfbWriter::kRoot, u"Workbook", Pattern(10000, 1));
    small = writer.addStream(CfbWriter::kRoot, u"Small", Pattern(100, 2));
    writer.addStream(CfbWriter::kRoot, u"Empty", {});
    writer.addStream(CfbWriter::kRoot, u"Edge4095", Pattern(4095, 3));
    writer.addStream(CfbWriter::kRoot, u"Edge4096", Pattern(4096, 4));
    storage = writer.addStorage(CfbWriter::kRoot, u"MBD0001");
    inner = writer.addStream(storage, u"Inner", Pattern(5000, 5));
    writer.addStream(storage, u"\x01" u"CompObj", Pattern(70, 6));
    bytes = writer.build();
  }
  CfbWriter writer;
  int workbook, small, storage, inner;
  Bytes bytes;
};

class CompoundFileTest : public ::testing::Test {
 protected:
  // Writes `bytes` to a fresh file and opens it.
  HRESULT openBytes(const Bytes& bytes, std::shared_ptr<Storage>& out, StorageMode mode = kRead) {
    path_ = folder_.file("f" + std::to_string(counter_++) + ".xls");
    cfbtest::WriteFile(path_, bytes);
    return Open(path_, mode, out);
  }
  // Opens a root stream; on failure (already reported) a stand-in whose every
  // call fails, so that the test goes on without dereferencing null.
  std::shared_ptr<Stream> stream(Storage& s, const std::wstring& name) {
    struct Missing final : Stream {
      HRESULT stat(std::uint64_t&) override { return E_FAIL; }
      HRESULT read(void*, std::uint32_t, std::uint32_t& done) override { return done = 0, E_FAIL; }
      HRESULT write(const void*, std::uint32_t, std::uint32_t& done) override { return done = 0, E_FAIL; }
      HRESULT seek(std::int64_t, std::uint32_t, std::uint64_t*) override { return E_FAIL; }
    };
    std::shared_ptr<Stream> out;
    EXPECT_EQ(s.openStream(name, out), S_OK) << platform::EncodeNative(name);
    if (!out) out = std::make_shared<Missing>();
    return out;
  }
  cfbtest::ScratchFolder folder_;
  std::string path_;
  int counter_ = 0;
};

}  // namespace cfbtest
