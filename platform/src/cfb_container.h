// One open compound file as the storage, its streams and property sets
// share it: the header, FAT (with the DIFAT), directory and mini FAT, loaded
// once, and the maps from a stream's chain to file offsets.
//
// Damage is classified where it is found:
//  - not a compound file at all (short, wrong signature): STG_E_FILEALREADYEXISTS;
//  - header fields that make no sense: STG_E_INVALIDHEADER;
//  - no readable directory or no root entry: STG_E_DOCFILECORRUPT at load;
//  - anything else (a FAT sector we cannot locate, a stream chain that is
//    cut, cyclic or leaves the file, a size longer than the chain, a broken
//    mini stream) only hurts the streams that use it: their maps end where
//    the chain breaks.
// A directory chain that breaks after its first sector keeps the entries read
// up to the break (later entries are treated as absent).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "file_handle.h"
#include "platform/byte_reader.h"
#include "platform/cfb_format.h"
#include "platform/compound_file.h"

namespace platform {

// One directory entry as stored.
struct DirEntry {
  std::u16string name;
  EntryType type = EntryType::kUnused;
  std::uint32_t left = cfb::kNoStream;
  std::uint32_t right = cfb::kNoStream;
  std::uint32_t child = cfb::kNoStream;
  std::array<std::uint8_t, 16> clsid{};
  std::uint32_t start = cfb::kEndOfChain;
  std::uint64_t size = 0;
};

// Everything one open compound file shares between its storage, streams and
// property sets. The file (and its lock) closes with the last of them.
class CompoundFile {
 public:
  CompoundFile(std::unique_ptr<FileHandle> file, bool writable)
      : file_(std::move(file)), writable_(writable), fileSize_(file_->size()) {}

  HRESULT load();

  FileHandle& file() { return *file_; }
  bool writable() const { return writable_; }
  std::uint64_t fileSize() const { return fileSize_; }
  std::uint32_t sectorSize() const { return sectorSize_; }
  std::uint32_t entryCount() const {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(directory_.size() / cfb::kDirEntrySize, cfb::kNoStream));
  }

  bool entry(std::uint32_t id, DirEntry& out) const;
  // The children of storage `parent`, in tree order, skipping entries in
  // `visited` and marking the ones returned. Does not trust the tree to be
  // ordered or acyclic.
  std::vector<std::uint32_t> children(std::uint32_t parent, std::vector<bool>& visited) const;

  // The size of a stream as this layer uses it.
  std::uint64_t streamSize(const DirEntry& e) const {
    return major_ == cfb::kMajorVersion3 ? (e.size & 0xFFFFFFFFu) : e.size;
  }
  // File offsets of a stream's sectors or mini sectors, as far as its chain goes.
  void sectorMap(const DirEntry& e, std::uint32_t& unitShift, std::vector<std::uint64_t>& offsets) const;

  // Bumped by every write so that the caches of all streams notice.
  std::uint64_t generation() const { return generation_; }
  void bumpGeneration() { ++generation_; }

  // Every file range a stream write reached, in the order written.
  void noteWritten(std::uint64_t offset, std::uint64_t length) { written_.push_back({offset, length}); }
  const std::vector<ByteRange>& written() const { return written_; }

 private:
  std::uint64_t sectorOffset(std::uint32_t sector) const {
    return (static_cast<std::uint64_t>(sector) + 1) << sectorShift_;
  }
  // Reads sector `sector`, as much of it as the file holds.
  HRESULT readSector(std::uint32_t sector, std::vector<std::uint8_t>& out, std::size_t& got);
  HRESULT loadFat(const ByteReader& header, std::uint32_t fatSectors, std::uint32_t firstDifat);
  HRESULT loadDirectory(std::uint32_t first);
  void loadMiniStream(std::uint32_t firstMiniFat);

  std::unique_ptr<FileHandle> file_;
  bool writable_;
  std::uint64_t fileSize_;
  std::uint16_t major_ = 3;
  std::uint32_t sectorShift_ = 9;
  std::uint32_t sectorSize_ = 512;
  std::uint64_t sectorCount_ = 0;  // sectors whose first byte lies in the file
  std::vector<std::uint32_t> fat_;
  std::vector<std::uint32_t> miniFat_;
  std::vector<std::uint8_t> directory_;  // raw entries
  std::vector<std::uint64_t> miniStreamMap_;  // file offset of each mini stream sector
  std::uint64_t miniStreamSize_ = 0;
  std::uint64_t generation_ = 0;
  std::vector<ByteRange> written_;
};

}  // namespace platform
