// Loading a compound file: every chain walk is bounded by the number of
// sectors the file holds and stops at a sector seen before, so damaged files
// cannot loop.
#include "cfb_container.h"

#include <cstring>

namespace platform {

using namespace cfb;

namespace {

// Marks FAT entries we could not load (unused by the format itself).
constexpr std::uint32_t kUnknownEntry = 0xFFFFFFFBu;

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

// The header fields the layer uses.
struct HeaderFields {
  std::uint16_t major = 0, byteOrder = 0, sectorShift = 0, miniShift = 0;
  std::uint32_t dirSectors = 0, fatSectors = 0, firstDir = 0, cutoff = 0, firstMiniFat = 0, miniFatSectors = 0,
                firstDifat = 0, difatSectors = 0;
};

// False only for a header shorter than the format's.
bool ReadHeaderFields(const ByteReader& h, HeaderFields& f) {
  return h.u16(kHdrMajorVersion, f.major) && h.u16(kHdrByteOrder, f.byteOrder) &&
         h.u16(kHdrSectorShift, f.sectorShift) && h.u16(kHdrMiniSectorShift, f.miniShift) &&
         h.u32(kHdrDirSectorCount, f.dirSectors) && h.u32(kHdrFatSectorCount, f.fatSectors) &&
         h.u32(kHdrFirstDirSector, f.firstDir) && h.u32(kHdrMiniStreamCutoff, f.cutoff) &&
         h.u32(kHdrFirstMiniFatSector, f.firstMiniFat) && h.u32(kHdrMiniFatSectorCount, f.miniFatSectors) &&
         h.u32(kHdrFirstDifatSector, f.firstDifat) && h.u32(kHdrDifatSectorCount, f.difatSectors);
}

}  // namespace

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
  HeaderFields h;
  if (!ReadHeaderFields(header, h)) return STG_E_INVALIDHEADER;
  major_ = h.major;

  if (h.byteOrder != kByteOrderMark) return STG_E_INVALIDHEADER;
  if (!((major_ == kMajorVersion3 && h.sectorShift == kSectorShift3) ||
        (major_ == kMajorVersion4 && h.sectorShift == kSectorShift4)))
    return STG_E_INVALIDHEADER;
  if (h.miniShift != kMiniSectorShift || h.cutoff != kMiniStreamCutoff) return STG_E_INVALIDHEADER;
  sectorShift_ = h.sectorShift;
  sectorSize_ = 1u << h.sectorShift;

  // Sector n starts at (n + 1) * sector size; count those that start inside.
  if (fileSize_ > sectorSize_)
    sectorCount_ = std::min<std::uint64_t>((fileSize_ - 1) / sectorSize_, std::uint64_t{kMaxRegSect} + 1);
  // Counts of structures that could not fit into the file at all.
  if (h.fatSectors > sectorCount_ || h.difatSectors > sectorCount_ || h.miniFatSectors > sectorCount_ ||
      (major_ == kMajorVersion4 && h.dirSectors > sectorCount_))
    return STG_E_INVALIDHEADER;

  hr = loadFat(header, h.fatSectors, h.firstDifat);
  if (Failed(hr)) return hr;
  hr = loadDirectory(h.firstDir);
  if (Failed(hr)) return hr;
  loadMiniStream(h.firstMiniFat);
  return S_OK;
}

HRESULT CompoundFile::loadFat(const ByteReader& header, std::uint32_t fatSectors, std::uint32_t firstDifat) {
  const std::uint32_t perSector = sectorSize_ / kSectorNumberSize;

  // Where the FAT sectors are: 109 in the header, the rest in the DIFAT chain.
  std::vector<std::uint32_t> fatLocations;
  fatLocations.reserve(fatSectors);
  for (std::uint32_t i = 0; i < fatSectors && i < kHeaderDifatSlots; ++i) {
    std::uint32_t s = 0;
    if (!header.u32(kHdrDifat + kSectorNumberSize * i, s)) break;
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
    // A whole sector: every slot reads.
    const ByteReader r(buf.data(), buf.size());
    for (std::uint32_t j = 0; j + 1 < perSector && fatLocations.size() < fatSectors; ++j) {
      std::uint32_t s = 0;
      if (!r.u32(std::uint64_t{kSectorNumberSize} * j, s)) break;
      fatLocations.push_back(s);
    }
    if (!r.u32(std::uint64_t{kSectorNumberSize} * (perSector - 1), difat)) break;
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
  if (!(r.u16(kDirNameLength, nameBytes) && r.u8(kDirType, type) && r.u32(kDirLeft, out.left) &&
        r.u32(kDirRight, out.right) && r.u32(kDirChild, out.child) &&
        r.bytes(kDirClsid, out.clsid.data(), out.clsid.size()) && r.u32(kDirStartSector, out.start) &&
        r.u64(kDirSize, out.size)))
    return false;

  // A name length out of range still leaves the name readable up to its NUL.
  std::size_t units = (nameBytes >= 2 && nameBytes <= kDirNameBytes) ? nameBytes / 2 - 1 : kDirNameUnits;
  out.name.clear();
  for (std::size_t i = 0; i < units; ++i) {
    std::uint16_t c = 0;
    if (!r.u16(kDirName + 2 * i, c) || c == 0) break;
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

}  // namespace platform
