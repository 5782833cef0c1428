// Builds compound files in memory for tests: a tree of storages and streams,
// version 3 (512-byte sectors) or 4 (4096), streams below 4096 bytes in the
// mini stream, FAT, mini FAT and DIFAT as needed. After build() the writer
// tells where everything landed, so tests can break single fields.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/cfb_format.h"

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

// Field offsets, sizes and special sector numbers are the reader's own:
// platform/cfb_format.h.

class CfbWriter {
 public:
  static constexpr int kRoot = 0;

  explicit CfbWriter(int majorVersion = 3);

  // Adds an entry under `parent` (kRoot or a storage's handle); returns its handle.
  int addStorage(int parent, const std::u16string& name);
  int addStream(int parent, const std::u16string& name, Bytes data);
  void setClsid(int node, const std::array<std::uint8_t, 16>& clsid);

  // Chains each regular stream through its sectors from last to first, so
  // that no two neighbours in the stream are neighbours in the file.
  void setReverseChains(bool on) { reverseChains_ = on; }
  // Links each storage's children as one right-leaning list in descending
  // name order: a tree a binary search cannot use.
  void setUnorderedTree(bool on) { unorderedTree_ = on; }

  Bytes build();

  // Where the last build() put things.
  std::uint32_t sectorSize() const { return sectorSize_; }
  std::uint64_t sectorOffset(std::uint32_t sector) const {
    return (std::uint64_t{sector} + 1) * sectorSize_;
  }
  std::uint32_t entryId(int node) const { return nodes_.at(node).entryId; }
  std::uint64_t entryOffset(int node) const;  // of the node's directory entry
  bool inMiniStream(int node) const { return nodes_.at(node).mini; }
  // Sector numbers (mini sector numbers for a mini stream) of a stream's chain.
  const std::vector<std::uint32_t>& chain(int node) const { return nodes_.at(node).chain; }
  // File offset of each sector or mini sector of a stream, in stream order.
  std::vector<std::uint64_t> dataOffsets(int node) const;
  std::uint64_t fatEntryOffset(std::uint32_t sector) const;
  std::uint64_t miniFatEntryOffset(std::uint32_t miniSector) const;
  const std::vector<std::uint32_t>& fatSectors() const { return fatSectors_; }
  const std::vector<std::uint32_t>& difatSectors() const { return difatSectors_; }
  const std::vector<std::uint32_t>& directorySectors() const { return dirSectors_; }
  const std::vector<std::uint32_t>& miniFatSectors() const { return miniFatSectors_; }
  const std::vector<std::uint32_t>& miniStreamSectors() const { return miniStreamSectors_; }

 private:
  struct Node {
    std::u16string name;
    bool storage = false;
    Bytes data;
    std::vector<int> children;
    std::array<std::uint8_t, 16> clsid{};
    // Filled by build().
    std::uint32_t entryId = 0;
    bool mini = false;
    std::vector<std::uint32_t> chain;
    std::uint32_t left = platform::cfb::kNoStream, right = platform::cfb::kNoStream, child = platform::cfb::kNoStream;
  };
  int add(int parent, const std::u16string& name, bool storage, Bytes data);
  std::uint32_t linkTree(std::vector<int> children);

  int major_;
  std::uint32_t sectorSize_;
  bool reverseChains_ = false;
  bool unorderedTree_ = false;
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> fatSectors_, difatSectors_, dirSectors_, miniFatSectors_, miniStreamSectors_;
};

// Little-endian patching of produced bytes (throws std::out_of_range).
void PutU16(Bytes& bytes, std::uint64_t offset, std::uint16_t value);
void PutU32(Bytes& bytes, std::uint64_t offset, std::uint32_t value);
std::uint32_t GetU32(const Bytes& bytes, std::uint64_t offset);

}  // namespace testsupport
