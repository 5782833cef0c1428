// Compound-file reader and in-place writer.
//
// Opening reads the header, the FAT (with the DIFAT), the directory and the
// mini FAT once. Every chain walk is bounded by the number of sectors the file
// holds and stops at a sector seen before, so damaged files cannot loop.
//
// Damage is classified where it is found:
//  - not a compound file at all (short, wrong signature): STG_E_FILEALREADYEXISTS;
//  - header fields that make no sense: STG_E_INVALIDHEADER;
//  - no readable directory or no root entry: STG_E_DOCFILECORRUPT at open;
//  - anything else (a FAT sector we cannot locate, a stream chain that is
//    cut, cyclic or leaves the file, a size longer than the chain, a broken
//    mini stream) only hurts the streams that use it. Such a stream still
//    opens and the part its chain covers reads normally; a read or write that
//    reaches the missing part fails with STG_E_DOCFILECORRUPT, the way a
//    reader that follows chains lazily behaves.
// A directory chain that breaks after its first sector keeps the entries read
// up to the break (later entries are treated as absent).
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "file_handle.h"
#include "name_compare.h"
#include "platform/byte_reader.h"
#include "platform/cfb_format.h"
#include "platform/compound_file.h"
#include "platform/text.h"
#include "property_set_reader.h"

namespace platform {
namespace {

using namespace cfb;

// Marks FAT entries we could not load (unused by the format itself).
constexpr std::uint32_t kUnknownEntry = 0xFFFFFFFBu;

constexpr std::uint64_t kReadWindow = 64 * 1024;

#if defined(__GNUC__)
#define NOINLINE __attribute__((noinline))
#else
#define NOINLINE
#endif

struct DirEntry {
  std::u16string name;
  EntryType type = EntryType::kUnused;
  std::uint32_t left = kNoStream;
  std::uint32_t right = kNoStream;
  std::uint32_t child = kNoStream;
  std::array<std::uint8_t, 16> clsid{};
  std::uint32_t start = kEndOfChain;
  std::uint64_t size = 0;
};

// Follows `table` from `start`, handing at most `maxLinks` unit numbers
// below `range` to `take`. Stops at the end of the chain, at a number out of
// range or unknown, or at a unit met before. Returns true when the chain
// ended normally or `maxLinks` were taken.
template <typename Take>
bool WalkChain(const std::vector<std::uint32_t>& table, std::uint32_t start, std::uint64_t maxLinks,
               std::uint64_t range, Take&& take) {
  if (maxLinks == 0) return true;
  std::vector<bool> seen(static_cast<std::size_t>(range), false);
  std::uint32_t cur = start;
  for (std::uint64_t taken = 0; taken < maxLinks; ++taken) {
    if (cur == kEndOfChain) return true;
    if (cur >= range || seen[cur]) return false;
    seen[cur] = true;
    take(cur);
    cur = cur < table.size() ? table[cur] : kUnknownEntry;
  }
  return true;
}

bool FollowChain(const std::vector<std::uint32_t>& table, std::uint32_t start, std::uint64_t maxLinks,
                 std::uint64_t range, std::vector<std::uint32_t>& out) {
  out.clear();
  return WalkChain(table, start, maxLinks, range, [&](std::uint32_t unit) { out.push_back(unit); });
}

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
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(directory_.size() / kDirEntrySize, kNoStream));
  }

  bool entry(std::uint32_t id, DirEntry& out) const;
  // The children of storage `parent`, in tree order, skipping entries in
  // `visited` and marking the ones returned. Does not trust the tree to be
  // ordered or acyclic.
  std::vector<std::uint32_t> children(std::uint32_t parent, std::vector<bool>& visited) const;

  // The size of a stream as this layer uses it.
  std::uint64_t streamSize(const DirEntry& e) const {
    return major_ == kMajorVersion3 ? (e.size & 0xFFFFFFFFu) : e.size;
  }
  // File offsets of a stream's sectors or mini sectors, as far as its chain goes.
  void sectorMap(const DirEntry& e, std::uint32_t& unitShift, std::vector<std::uint64_t>& offsets) const;

  // Bumped by every write so that the caches of all streams notice.
  std::uint64_t generation() const { return generation_; }
  void bumpGeneration() { ++generation_; }

 private:
  std::uint64_t sectorOffset(std::uint32_t sector) const {
    return (static_cast<std::uint64_t>(sector) + 1) << sectorShift_;
  }
  // Reads sector `sector`, as much of it as the file holds.
  HRESULT readSector(std::uint32_t sector, std::vector<std::uint8_t>& out, std::size_t& got);
  HRESULT loadFat(const ByteReader& header);
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
};

HRESULT CompoundFile::readSector(std::uint32_t sector, std::vector<std::uint8_t>& out, std::size_t& got) {
  out.resize(sectorSize_);
  got = 0;
  return file_->readAt(sectorOffset(sector), out.data(), sectorSize_, got);
}

HRESULT CompoundFile::load() {
  if (fileSize_ < sizeof kSignature) return STG_E_FILEALREADYEXISTS;
  std::uint8_t raw[kHeaderSize];
  std::size_t got = 0;
  HRESULT hr = file_->readAt(0, raw, sizeof raw, got);
  if (Failed(hr)) return hr;
  if (got < sizeof kSignature || std::memcmp(raw, kSignature, sizeof kSignature) != 0)
    return STG_E_FILEALREADYEXISTS;
  if (got < kHeaderSize) return STG_E_INVALIDHEADER;
  const ByteReader header(raw, sizeof raw);

  std::uint16_t byteOrder = 0, sectorShift = 0, miniShift = 0;
  std::uint32_t dirSectors = 0, fatSectors = 0, firstDir = 0, cutoff = 0, firstMiniFat = 0,
                miniFatSectors = 0, difatSectors = 0;
  header.u16(kHdrMajorVersion, major_);
  header.u16(kHdrByteOrder, byteOrder);
  header.u16(kHdrSectorShift, sectorShift);
  header.u16(kHdrMiniSectorShift, miniShift);
  header.u32(kHdrDirSectorCount, dirSectors);
  header.u32(kHdrFatSectorCount, fatSectors);
  header.u32(kHdrFirstDirSector, firstDir);
  header.u32(kHdrMiniStreamCutoff, cutoff);
  header.u32(kHdrFirstMiniFatSector, firstMiniFat);
  header.u32(kHdrMiniFatSectorCount, miniFatSectors);
  header.u32(kHdrDifatSectorCount, difatSectors);

  if (byteOrder != kByteOrderMark) return STG_E_INVALIDHEADER;
  if (!((major_ == kMajorVersion3 && sectorShift == kSectorShift3) ||
        (major_ == kMajorVersion4 && sectorShift == kSectorShift4)))
    return STG_E_INVALIDHEADER;
  if (miniShift != kMiniSectorShift || cutoff != kMiniStreamCutoff) return STG_E_INVALIDHEADER;
  sectorShift_ = sectorShift;
  sectorSize_ = 1u << sectorShift;

  // Sector n starts at (n + 1) * sector size; count those that start inside.
  if (fileSize_ > sectorSize_)
    sectorCount_ = std::min<std::uint64_t>((fileSize_ - 1) / sectorSize_, std::uint64_t{kMaxRegSect} + 1);
  // Counts of structures that could not fit into the file at all.
  if (fatSectors > sectorCount_ || difatSectors > sectorCount_ || miniFatSectors > sectorCount_ ||
      (major_ == kMajorVersion4 && dirSectors > sectorCount_))
    return STG_E_INVALIDHEADER;

  hr = loadFat(header);
  if (Failed(hr)) return hr;
  hr = loadDirectory(firstDir);
  if (Failed(hr)) return hr;
  loadMiniStream(firstMiniFat);
  return S_OK;
}

HRESULT CompoundFile::loadFat(const ByteReader& header) {
  std::uint32_t fatSectors = 0, firstDifat = 0;
  header.u32(kHdrFatSectorCount, fatSectors);
  header.u32(kHdrFirstDifatSector, firstDifat);
  const std::uint32_t perSector = sectorSize_ / kSectorNumberSize;

  // Where the FAT sectors are: 109 in the header, the rest in the DIFAT chain.
  std::vector<std::uint32_t> fatLocations;
  fatLocations.reserve(fatSectors);
  for (std::uint32_t i = 0; i < fatSectors && i < kHeaderDifatSlots; ++i) {
    std::uint32_t s = 0;
    header.u32(kHdrDifat + kSectorNumberSize * i, s);
    fatLocations.push_back(s);
  }
  std::vector<bool> seen(static_cast<std::size_t>(sectorCount_), false);
  std::vector<std::uint8_t> buf;
  std::uint32_t difat = firstDifat;
  while (fatLocations.size() < fatSectors && difat < sectorCount_ && !seen[difat]) {
    seen[difat] = true;
    std::size_t got = 0;
    HRESULT hr = readSector(difat, buf, got);
    if (Failed(hr)) return hr;
    if (got < sectorSize_) break;
    const ByteReader r(buf.data(), buf.size());
    for (std::uint32_t j = 0; j + 1 < perSector && fatLocations.size() < fatSectors; ++j) {
      std::uint32_t s = 0;
      r.u32(std::uint64_t{kSectorNumberSize} * j, s);
      fatLocations.push_back(s);
    }
    r.u32(std::uint64_t{kSectorNumberSize} * (perSector - 1), difat);
  }

  // Entries for sectors that cannot exist are not worth memory.
  const std::uint64_t entries =
      std::min<std::uint64_t>(std::uint64_t{fatSectors} * perSector, sectorCount_);
  fat_.assign(static_cast<std::size_t>(entries), kUnknownEntry);
  // FAT sectors usually lie side by side: read each such run at once.
  constexpr std::size_t kMaxRun = 256;
  for (std::size_t k = 0; k < fatLocations.size();) {
    const std::uint32_t s = fatLocations[k];
    if (std::uint64_t{k} * perSector >= entries) break;
    if (s >= sectorCount_) {  // stays unknown: chains through it are broken
      ++k;
      continue;
    }
    std::size_t n = 1;
    while (n < kMaxRun && k + n < fatLocations.size() && fatLocations[k + n] == s + n &&
           fatLocations[k + n] < sectorCount_ && std::uint64_t{k + n} * perSector < entries)
      ++n;
    buf.resize(n * sectorSize_);
    std::size_t got = 0;
    HRESULT hr = file_->readAt(sectorOffset(s), buf.data(), buf.size(), got);
    if (Failed(hr)) return hr;
    const ByteReader r(buf.data(), got);
    for (std::uint64_t j = 0; j < std::uint64_t{n} * perSector; ++j) {
      const std::uint64_t index = std::uint64_t{k} * perSector + j;
      std::uint32_t v = 0;
      if (index >= entries || !r.u32(kSectorNumberSize * j, v)) break;
      fat_[static_cast<std::size_t>(index)] = v;
    }
    k += n;
  }
  return S_OK;
}

HRESULT CompoundFile::loadDirectory(std::uint32_t first) {
  std::vector<std::uint32_t> chain;
  FollowChain(fat_, first, sectorCount_, sectorCount_, chain);
  std::vector<std::uint8_t> buf;
  for (std::uint32_t s : chain) {
    std::size_t got = 0;
    HRESULT hr = readSector(s, buf, got);
    if (Failed(hr)) return hr;
    const std::size_t whole = static_cast<std::size_t>(got / kDirEntrySize * kDirEntrySize);
    directory_.insert(directory_.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(whole));
    if (got < sectorSize_) break;
  }
  DirEntry root;
  if (!entry(0, root) || root.type != EntryType::kRoot) return STG_E_DOCFILECORRUPT;
  return S_OK;
}

void CompoundFile::loadMiniStream(std::uint32_t firstMiniFat) {
  DirEntry root;
  entry(0, root);
  miniStreamSize_ = streamSize(root);
  std::vector<std::uint32_t> chain;
  const std::uint64_t rootSectors = miniStreamSize_ == 0 ? 0 : ((miniStreamSize_ - 1) >> sectorShift_) + 1;
  FollowChain(fat_, root.start, rootSectors, sectorCount_, chain);
  miniStreamMap_.reserve(chain.size());
  for (std::uint32_t s : chain) miniStreamMap_.push_back(sectorOffset(s));
  // Nothing past the root's chain can be reached, and a claimed size (up to
  // 2^64 in version 4) must size no table.
  miniStreamSize_ = std::min<std::uint64_t>(miniStreamSize_, std::uint64_t{chain.size()} << sectorShift_);

  // The mini FAT needs no more entries than the mini stream has mini sectors.
  const std::uint64_t miniSectors = miniStreamSize_ >> kMiniSectorShift;
  const std::uint32_t perSector = sectorSize_ / kSectorNumberSize;
  FollowChain(fat_, firstMiniFat, miniSectors / perSector + 1, sectorCount_, chain);
  std::vector<std::uint8_t> buf;
  for (std::uint32_t s : chain) {
    std::size_t got = 0;
    if (Failed(readSector(s, buf, got))) break;
    const ByteReader r(buf.data(), got);
    for (std::uint32_t j = 0; j < perSector && miniFat_.size() < miniSectors; ++j) {
      std::uint32_t v = 0;
      if (!r.u32(std::uint64_t{kSectorNumberSize} * j, v)) break;
      miniFat_.push_back(v);
    }
    if (got < sectorSize_) break;
  }
}

bool CompoundFile::entry(std::uint32_t id, DirEntry& out) const {
  const ByteReader dir(directory_.data(), directory_.size());
  const std::uint64_t at = std::uint64_t{id} * kDirEntrySize;
  const ByteReader r = dir.sub(at, kDirEntrySize);
  if (r.size() != kDirEntrySize) return false;

  std::uint16_t nameBytes = 0;
  std::uint8_t type = 0;
  r.u16(kDirNameLength, nameBytes);
  r.u8(kDirType, type);
  r.u32(kDirLeft, out.left);
  r.u32(kDirRight, out.right);
  r.u32(kDirChild, out.child);
  r.bytes(kDirClsid, out.clsid.data(), out.clsid.size());
  r.u32(kDirStartSector, out.start);
  r.u64(kDirSize, out.size);

  // A name length out of range still leaves the name readable up to its NUL.
  std::size_t units = (nameBytes >= 2 && nameBytes <= kDirNameBytes) ? nameBytes / 2 - 1 : kDirNameUnits;
  out.name.clear();
  for (std::size_t i = 0; i < units; ++i) {
    std::uint16_t c = 0;
    r.u16(kDirName + 2 * i, c);
    if (c == 0) break;
    out.name.push_back(static_cast<char16_t>(c));
  }
  switch (type) {
    case kTypeStorage: out.type = EntryType::kStorage; break;
    case kTypeStream: out.type = EntryType::kStream; break;
    case kTypeRoot: out.type = id == 0 ? EntryType::kRoot : EntryType::kUnused; break;
    default: out.type = EntryType::kUnused; break;
  }
  return true;
}

std::vector<std::uint32_t> CompoundFile::children(std::uint32_t parent, std::vector<bool>& visited) const {
  std::vector<std::uint32_t> out;
  DirEntry e;
  if (!entry(parent, e)) return out;
  const std::uint32_t count = entryCount();
  // In-order walk; an entry is taken at most once, so cycles end the walk.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> stack;  // (id, right sibling)
  auto pushLeftSpine = [&](std::uint32_t id) {
    while (id < count && !visited[id]) {
      DirEntry node;
      if (!entry(id, node) || node.type == EntryType::kUnused) return;
      visited[id] = true;
      stack.emplace_back(id, node.right);
      id = node.left;
    }
  };
  pushLeftSpine(e.child);
  while (!stack.empty()) {
    const auto [id, right] = stack.back();
    stack.pop_back();
    out.push_back(id);
    pushLeftSpine(right);
  }
  return out;
}

void CompoundFile::sectorMap(const DirEntry& e, std::uint32_t& unitShift,
                             std::vector<std::uint64_t>& offsets) const {
  offsets.clear();
  const std::uint64_t size = streamSize(e);
  if (size < kMiniStreamCutoff) {
    unitShift = kMiniSectorShift;
    const std::uint64_t units = (size + kMiniSectorSize - 1) >> kMiniSectorShift;
    const std::uint64_t miniSectors = miniStreamSize_ >> kMiniSectorShift;
    bool mapped = true;
    WalkChain(miniFat_, e.start, units, miniSectors, [&](std::uint32_t m) {
      const std::uint64_t at = std::uint64_t{m} << kMiniSectorShift;
      const std::uint64_t sector = at >> sectorShift_;
      // Past a cut in the mini stream's own chain nothing more is reachable.
      if (!mapped || sector >= miniStreamMap_.size()) {
        mapped = false;
        return;
      }
      offsets.push_back(miniStreamMap_[static_cast<std::size_t>(sector)] + (at & (sectorSize_ - 1)));
    });
  } else {
    unitShift = sectorShift_;
    const std::uint64_t units = ((size - 1) >> sectorShift_) + 1;
    offsets.reserve(static_cast<std::size_t>(std::min(units, sectorCount_)));
    WalkChain(fat_, e.start, units, sectorCount_, [&](std::uint32_t s) { offsets.push_back(sectorOffset(s)); });
  }
}

class StreamImpl final : public Stream {
 public:
  StreamImpl(std::shared_ptr<CompoundFile> file, std::uint64_t size, std::uint32_t unitShift,
             std::vector<std::uint64_t> map)
      : file_(std::move(file)), size_(size), unitShift_(unitShift), map_(std::move(map)) {}

  HRESULT stat(std::uint64_t& size) override {
    size = size_;
    return S_OK;
  }

  HRESULT read(void* buffer, std::uint32_t count, std::uint32_t& done) override {
    // The common case of the indexing pass: a few bytes inside the window.
    // (The window never reaches past the end of the stream. A position before
    // it wraps around and fails the first test.)
    const std::uint64_t inCache = pos_ - cacheStart_;
    if (inCache < cacheLength_ && count <= cacheLength_ - inCache && cacheGeneration_ == file_->generation() &&
        buffer != nullptr) {
      const std::uint8_t* from = cache_.data() + inCache;
      auto* out = static_cast<std::uint8_t*>(buffer);
      if (count == 4) {
        std::memcpy(out, from, 4);  // one move: the caller reads it back as a whole at once
      } else if (count < 8) {
        for (std::uint32_t i = 0; i < count; ++i) out[i] = from[i];
      } else {
        std::memcpy(out, from, count);
      }
      pos_ += count;
      done = count;
      return S_OK;
    }
    return readSlow(buffer, count, done);
  }

  HRESULT write(const void* buffer, std::uint32_t count, std::uint32_t& done) override {
    done = 0;
    if (!file_->writable()) return STG_E_ACCESSDENIED;
    if (count != 0 && buffer == nullptr) return STG_E_INVALIDPOINTER;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    while (done < count && pos_ < size_) {
      const std::uint64_t want = std::min<std::uint64_t>(count - done, size_ - pos_);
      std::uint64_t fileOffset = 0, length = 0;
      if (!contiguousRun(pos_, want, fileOffset, length)) return STG_E_DOCFILECORRUPT;
      // Never extend the file: a sector past its end belongs to a damaged chain.
      if (fileOffset >= file_->fileSize()) return STG_E_DOCFILECORRUPT;
      length = std::min(length, file_->fileSize() - fileOffset);
      const bool cacheCurrent = cacheGeneration_ == file_->generation();
      HRESULT hr = file_->file().writeAt(fileOffset, in + done, static_cast<std::size_t>(length));
      file_->bumpGeneration();
      if (Failed(hr)) return hr;
      if (cacheCurrent) {
        // Keep our own window valid: patch the bytes it holds.
        const std::uint64_t lo = std::max(pos_, cacheStart_);
        const std::uint64_t hi = std::min(pos_ + length, cacheStart_ + cacheLength_);
        if (lo < hi)
          std::memcpy(cache_.data() + (lo - cacheStart_), in + done + (lo - pos_), static_cast<std::size_t>(hi - lo));
        cacheGeneration_ = file_->generation();
      }
      pos_ += length;
      done += static_cast<std::uint32_t>(length);
    }
    return S_OK;
  }

  HRESULT seek(std::int64_t move, std::uint32_t origin, std::uint64_t* newPosition) override {
    std::uint64_t base = 0;
    switch (origin) {
      case kSeekSet: base = 0; break;
      case kSeekCur: base = pos_; break;
      case kSeekEnd: base = size_; break;
      default: return STG_E_INVALIDFUNCTION;
    }
    std::uint64_t next = 0;
    if (move < 0) {
      const std::uint64_t back = static_cast<std::uint64_t>(-(move + 1)) + 1;
      if (back > base) return STG_E_INVALIDFUNCTION;
      next = base - back;
    } else {
      const std::uint64_t ahead = static_cast<std::uint64_t>(move);
      if (ahead > UINT64_MAX - base) return STG_E_INVALIDFUNCTION;
      next = base + ahead;
    }
    pos_ = next;
    if (newPosition != nullptr) *newPosition = pos_;
    return S_OK;
  }

 private:
  NOINLINE HRESULT readSlow(void* buffer, std::uint32_t count, std::uint32_t& done) {
    done = 0;
    if (count != 0 && buffer == nullptr) return STG_E_INVALIDPOINTER;
    auto* out = static_cast<std::uint8_t*>(buffer);
    try {
      while (done < count && pos_ < size_) {
        const std::uint64_t want = std::min<std::uint64_t>(count - done, size_ - pos_);
        if (cacheGeneration_ != file_->generation() || pos_ < cacheStart_ || pos_ - cacheStart_ >= cacheLength_) {
          HRESULT hr = fillCache();
          if (Failed(hr)) return hr;
        }
        const std::uint64_t inCache = pos_ - cacheStart_;
        const std::uint64_t n = std::min(want, cacheLength_ - inCache);
        std::memcpy(out + done, cache_.data() + inCache, static_cast<std::size_t>(n));
        pos_ += n;
        done += static_cast<std::uint32_t>(n);
      }
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  // The longest piece of the stream from `pos` that lies contiguously in the
  // file, at most `limit` bytes. False when `pos` is past the chain.
  bool contiguousRun(std::uint64_t pos, std::uint64_t limit, std::uint64_t& fileOffset,
                     std::uint64_t& length) const {
    const std::uint64_t unit = std::uint64_t{1} << unitShift_;
    std::uint64_t idx = pos >> unitShift_;
    if (idx >= map_.size()) return false;
    const std::uint64_t within = pos & (unit - 1);
    fileOffset = map_[static_cast<std::size_t>(idx)] + within;
    length = std::min(unit - within, limit);
    while (length < limit && idx + 1 < map_.size() &&
           map_[static_cast<std::size_t>(idx + 1)] == map_[static_cast<std::size_t>(idx)] + unit) {
      ++idx;
      length = std::min(length + unit, limit);
    }
    return true;
  }

  // Loads up to kReadWindow file-contiguous bytes from the position.
  HRESULT fillCache() {
    cacheLength_ = 0;
    cacheStart_ = pos_;
    cacheGeneration_ = file_->generation();
    std::uint64_t fileOffset = 0, length = 0;
    if (!contiguousRun(pos_, std::min(kReadWindow, size_ - pos_), fileOffset, length)) return STG_E_DOCFILECORRUPT;
    if (cache_.size() < kReadWindow) cache_.resize(kReadWindow);
    std::size_t got = 0;
    HRESULT hr = file_->file().readAt(fileOffset, cache_.data(), static_cast<std::size_t>(length), got);
    if (Failed(hr)) return hr;
    cacheLength_ = got;
    // Bytes the chain promises but the file lacks (a truncated file).
    if (got == 0) return STG_E_DOCFILECORRUPT;
    return S_OK;
  }

  std::shared_ptr<CompoundFile> file_;
  std::uint64_t size_;
  std::uint32_t unitShift_;
  std::vector<std::uint64_t> map_;
  std::uint64_t pos_ = 0;
  std::vector<std::uint8_t> cache_;
  std::uint64_t cacheStart_ = 0;
  std::uint64_t cacheLength_ = 0;
  std::uint64_t cacheGeneration_ = 0;
};

class StorageImpl final : public Storage {
 public:
  explicit StorageImpl(std::shared_ptr<CompoundFile> file) : file_(std::move(file)) {}

  HRESULT openStream(const std::wstring& name, std::shared_ptr<Stream>& out) override {
    out.reset();
    try {
      const std::u16string wanted = ToUtf16(name);
      std::vector<bool> visited(file_->entryCount(), false);
      visited[0] = true;
      for (std::uint32_t id : file_->children(0, visited)) {
        DirEntry e;
        if (file_->entry(id, e) && e.type == EntryType::kStream && NamesEqualIgnoringCase(e.name, wanted))
          return openEntry(e, out);
      }
      return STG_E_FILENOTFOUND;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  HRESULT openPropertySet(const FormatId& fmtid, std::shared_ptr<PropertySet>& out) override {
    out.reset();
    const bool documentSummary = fmtid == kFmtidUserDefinedProperties || fmtid == kFmtidDocSummaryInformation;
    std::shared_ptr<Stream> stream;
    HRESULT hr = openStream(documentSummary ? L"\x05" L"DocumentSummaryInformation" : L"\x05" L"SummaryInformation",
                            stream);
    if (Failed(hr)) return hr;
    return OpenPropertySetOnStream(stream, fmtid, out);
  }

  std::vector<EntryInfo> entries() override {
    std::vector<EntryInfo> out;
    std::vector<bool> visited(file_->entryCount(), false);
    visited[0] = true;
    DirEntry root;
    file_->entry(0, root);
    out.push_back(info(0, 0, root));
    // Breadth first, so that every storage is listed before its contents.
    for (std::size_t next = 0; next < out.size(); ++next) {
      if (out[next].type != EntryType::kStorage && out[next].type != EntryType::kRoot) continue;
      const std::uint32_t parent = out[next].id;
      for (std::uint32_t id : file_->children(parent, visited)) {
        DirEntry e;
        file_->entry(id, e);
        out.push_back(info(id, parent, e));
      }
    }
    return out;
  }

  HRESULT openStreamEntry(std::uint32_t id, std::shared_ptr<Stream>& out) override {
    out.reset();
    DirEntry e;
    if (!file_->entry(id, e) || e.type != EntryType::kStream) return STG_E_FILENOTFOUND;
    try {
      return openEntry(e, out);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  std::uint32_t sectorSize() const override { return file_->sectorSize(); }

 private:
  EntryInfo info(std::uint32_t id, std::uint32_t parent, const DirEntry& e) const {
    EntryInfo i;
    i.id = id;
    i.parent = parent;
    i.type = e.type;
    i.name = e.name;
    i.size = file_->streamSize(e);
    i.clsid = e.clsid;
    return i;
  }

  HRESULT openEntry(const DirEntry& e, std::shared_ptr<Stream>& out) {
    std::uint32_t unitShift = 0;
    std::vector<std::uint64_t> map;
    file_->sectorMap(e, unitShift, map);
    out = std::make_shared<StreamImpl>(file_, file_->streamSize(e), unitShift, std::move(map));
    return S_OK;
  }

  std::shared_ptr<CompoundFile> file_;
};

}  // namespace

HRESULT Storage::open(const std::wstring& path, StorageMode mode, std::shared_ptr<Storage>& out) {
  out.reset();
  try {
    std::unique_ptr<FileHandle> handle;
    HRESULT hr = OpenFileHandle(path, mode == StorageMode::kReadWriteExclusive, handle);
    if (Failed(hr)) return hr;
    auto file = std::make_shared<CompoundFile>(std::move(handle), mode == StorageMode::kReadWriteExclusive);
    hr = file->load();
    if (Failed(hr)) return hr;
    out = std::make_shared<StorageImpl>(std::move(file));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace platform
