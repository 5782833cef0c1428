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
// up to the break (later entries are treated as absent). A list of FAT
// sectors that names one twice or beyond the end of the file is noted
// (listStatus()) for callers that must not go on with such a file.
//
// Memory follows what the file holds and what is read, never a count it
// claims or its apparent size (a file with a hole can claim terabytes): the
// FAT is kept only for the FAT sectors a chain has asked for, the directory
// only for its entries in use, and a chain walk keeps no table of the
// sectors it has seen.
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

// A piece of a stream that lies contiguously in the file.
struct ChainRun {
  std::uint64_t unit;        // its first unit (sector or mini sector) in the stream
  std::uint64_t fileOffset;  // where that unit starts in the file
};

// Everything one open compound file shares between its storage, streams and
// property sets. The file (and its lock) closes with the last of them.
class CompoundFile {
 public:
  // Marks FAT entries we could not load (unused by the format itself). Never
  // below the sector count, which stops at the last regular sector.
  static constexpr std::uint32_t kUnknownEntry = 0xFFFFFFFBu;

  CompoundFile(std::unique_ptr<FileHandle> file, bool writable)
      : file_(std::move(file)), writable_(writable), fileSize_(file_->size()) {}

  HRESULT load();
  // S_OK, or STG_E_DOCFILECORRUPT when the list of FAT sectors (the header's
  // and the DIFAT chain's) names a sector twice or one beyond the end of the
  // file, or the DIFAT chain loops or leaves the file before the list is
  // complete. Known once load() has returned.
  HRESULT listStatus() const { return listSound_ ? S_OK : STG_E_DOCFILECORRUPT; }

  FileHandle& file() { return *file_; }
  bool writable() const { return writable_; }
  std::uint64_t fileSize() const { return fileSize_; }
  std::uint32_t sectorSize() const { return sectorSize_; }
  // Entries the directory's chain holds, in use or not.
  std::uint32_t entryCount() const { return entryCount_; }
  // Entries in use (storages, streams and the root); the root is the first.
  std::size_t liveEntryCount() const { return liveIds_.size(); }

  // False past the end of the directory; an entry not in use reads as one
  // of type kUnused and nothing else.
  bool entry(std::uint32_t id, DirEntry& out) const;
  // The children of storage `parent`, in tree order, skipping entries in
  // `visited` and marking the ones returned; `visited` has a flag per entry
  // in use, in the order of liveEntryCount(). Does not trust the tree to be
  // ordered or acyclic.
  std::vector<std::uint32_t> children(std::uint32_t parent, std::vector<bool>& visited) const;

  // The size of a stream as this layer uses it.
  std::uint64_t streamSize(const DirEntry& e) const {
    return major_ == cfb::kMajorVersion3 ? (e.size & 0xFFFFFFFFu) : e.size;
  }
  // Where a stream's sectors or mini sectors lie, as far as its chain goes:
  // `units` of them, as runs in stream order. Fails only when a FAT sector
  // the chain needs cannot be read.
  HRESULT sectorMap(const DirEntry& e, std::uint32_t& unitShift, std::vector<ChainRun>& runs, std::uint64_t& units);

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
  HRESULT listFatSectors(const ByteReader& header, std::uint32_t fatSectors, std::uint32_t firstDifat);
  HRESULT loadDirectory(std::uint32_t first);
  HRESULT loadMiniStream(std::uint32_t firstMiniFat);

  // The FAT entry of `sector`: the next sector of its chain, or
  // kUnknownEntry when no FAT sector listed covers it or it could not be read.
  HRESULT fatNext(std::uint32_t sector, std::uint32_t& next) {
    const std::uint64_t k = sector >> fatPageShift_;
    if (k >= fatPages_.size()) {
      next = kUnknownEntry;
      return S_OK;
    }
    if (fatPages_[static_cast<std::size_t>(k)] == nullptr) {
      const HRESULT hr = loadFatPage(static_cast<std::size_t>(k));
      if (Failed(hr)) return hr;
    }
    next = fatPages_[static_cast<std::size_t>(k)][sector & fatPageMask_];
    return S_OK;
  }
  HRESULT loadFatPage(std::size_t k);
  HRESULT miniFatNext(std::uint32_t miniSector, std::uint32_t& next) const {
    next = miniSector < miniFat_.size() ? miniFat_[miniSector] : kUnknownEntry;
    return S_OK;
  }

  std::unique_ptr<FileHandle> file_;
  bool writable_;
  std::uint64_t fileSize_;
  std::uint16_t major_ = 3;
  std::uint32_t sectorShift_ = 9;
  std::uint32_t sectorSize_ = 512;
  std::uint64_t sectorCount_ = 0;  // sectors whose first byte lies in the file
  bool listSound_ = true;
  // FAT sector k, as listed: where it lies (kUnknownEntry when that is
  // beyond the file), and its entries once a chain has needed them.
  std::vector<std::uint32_t> fatLocations_;
  std::vector<const std::uint32_t*> fatPages_;
  std::vector<std::unique_ptr<std::uint32_t[]>> fatLoaded_;  // owns the pages
  std::uint32_t fatPageShift_ = 7;  // entries a FAT sector holds, as a shift
  std::uint32_t fatPageMask_ = 127;
  // FAT sectors read but not yet needed: a run that lies side by side in
  // the file, from FAT sector fatWindowFirst_ on.
  std::vector<std::uint8_t> fatWindow_;
  std::size_t fatWindowFirst_ = 0, fatWindowSectors_ = 0, fatWindowBytes_ = 0;
  std::size_t fatReadAhead_ = 1;  // sectors the next in-order read takes
  std::vector<std::uint32_t> miniFat_;
  std::uint32_t entryCount_ = 0;
  std::vector<std::uint32_t> liveIds_;   // ids of the entries in use, ascending
  std::vector<std::uint8_t> directory_;  // their raw bytes, in the same order
  std::vector<std::uint64_t> miniStreamMap_;  // file offset of each mini stream sector
  std::uint64_t miniStreamSize_ = 0;
  std::uint64_t generation_ = 0;
  std::vector<ByteRange> written_;
};

}  // namespace platform
