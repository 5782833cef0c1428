// Loading a compound file: every chain walk is bounded by the number of
// sectors the file holds and stops at a sector seen before, so damaged files
// cannot loop.
#include "cfb_container.h"

#include <array>
#include <cstring>
#include <unordered_set>

namespace platform {

using namespace cfb;

namespace {

// Counts the units of the chain from `start` that a stream of `maxLinks`
// units may use: up to the end of the chain, a unit out of `range` (unknown
// entries are), or the first unit met before, and at most `maxLinks`.
// `next(unit, following)` gives a unit's successor. A loop is found without
// a table of the units seen, so that nothing is allocated for a chain before
// its length is known: one unit is kept and compared with each step, and
// moved ahead whenever the steps since it was taken reach a power of two.
// The walk may go past `maxLinks` to tell whether a unit within them
// repeats: such a repeat shows before step 3 * maxLinks.
template <typename Next>
HRESULT CountLinks(Next&& next, std::uint32_t start, std::uint64_t maxLinks, std::uint64_t range,
                   std::uint64_t& links) {
  links = 0;
  if (maxLinks == 0 || start == kEndOfChain || start >= range) return S_OK;
  const std::uint64_t giveUp = maxLinks > UINT64_MAX / 3 ? UINT64_MAX : 3 * maxLinks;
  std::uint32_t kept = start;
  std::uint64_t power = 1, since = 1;  // steps since `kept` was taken
  std::uint32_t unit = 0;
  HRESULT hr = next(start, unit);
  if (Failed(hr)) return hr;
  for (std::uint64_t i = 1;; ++i, ++since) {
    // `unit` is the i-th; every one before it is in range. A chain that
    // ends has no repeat: a repeat would go round for ever.
    if (unit == kEndOfChain || unit >= range) {
      links = std::min(i, maxLinks);
      return S_OK;
    }
    if (unit == kept) {
      // A loop of `since` units. The first repeat is the first unit equal
      // to the one `since` steps before it.
      std::uint32_t behind = start, ahead = start;
      for (std::uint64_t k = 0; k < since; ++k) {
        hr = next(ahead, ahead);
        if (Failed(hr)) return hr;
      }
      std::uint64_t first = since;
      while (behind != ahead) {
        hr = next(behind, behind);
        if (!Failed(hr)) hr = next(ahead, ahead);
        if (Failed(hr)) return hr;
        ++first;
      }
      links = std::min(first, maxLinks);
      return S_OK;
    }
    if (i + 1 >= giveUp) {
      links = maxLinks;
      return S_OK;
    }
    if (since == power) {
      kept = unit;
      power *= 2;
      since = 0;
    }
    hr = next(unit, unit);
    if (Failed(hr)) return hr;
  }
}

// Hands the first `links` units of the chain from `start` to `take`; they
// were counted by CountLinks, so every one is in range.
template <typename Next, typename Take>
HRESULT TakeLinks(Next&& next, std::uint32_t start, std::uint64_t links, Take&& take) {
  std::uint32_t unit = start;
  for (std::uint64_t k = 0; k < links; ++k) {
    take(unit);
    if (k + 1 < links) {
      const HRESULT hr = next(unit, unit);
      if (Failed(hr)) return hr;
    }
  }
  return S_OK;
}

// The units of a chain as CountLinks counts them.
template <typename Next>
HRESULT FollowChain(Next&& next, std::uint32_t start, std::uint64_t maxLinks, std::uint64_t range,
                    std::vector<std::uint32_t>& out) {
  out.clear();
  std::uint64_t links = 0;
  const HRESULT hr = CountLinks(next, start, maxLinks, range, links);
  if (Failed(hr)) return hr;
  out.reserve(static_cast<std::size_t>(links));
  return TakeLinks(next, start, links, [&](std::uint32_t unit) { out.push_back(unit); });
}

// FAT entries for a FAT sector that cannot be read: every chain through it
// breaks there.
const std::uint32_t* UnknownPage() {
  static const auto page = [] {
    std::array<std::uint32_t, kSectorSize4 / kSectorNumberSize> p{};
    p.fill(CompoundFile::kUnknownEntry);
    return p;
  }();
  return page.data();
}

// FAT sectors read at once while chains go through the FAT in order.
constexpr std::size_t kFatWindowBytes = 32 * 1024;

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
  fatPageShift_ = sectorShift_ - 2;  // 4-byte entries
  fatPageMask_ = (1u << fatPageShift_) - 1;

  // Sector n starts at (n + 1) * sector size; count those that start inside.
  // A bound for sector numbers only: with a hole, the file may hold far less.
  if (fileSize_ > sectorSize_)
    sectorCount_ = std::min<std::uint64_t>((fileSize_ - 1) / sectorSize_, std::uint64_t{kMaxRegSect} + 1);
  // Counts of structures that could not fit into the file at all.
  if (h.fatSectors > sectorCount_ || h.difatSectors > sectorCount_ || h.miniFatSectors > sectorCount_ ||
      (major_ == kMajorVersion4 && h.dirSectors > sectorCount_))
    return STG_E_INVALIDHEADER;

  hr = listFatSectors(header, h.fatSectors, h.firstDifat);
  if (Failed(hr)) return hr;
  hr = loadDirectory(h.firstDir);
  if (Failed(hr)) return hr;
  return loadMiniStream(h.firstMiniFat);
}

HRESULT CompoundFile::listFatSectors(const ByteReader& header, std::uint32_t fatSectors, std::uint32_t firstDifat) {
  const std::uint32_t perSector = sectorSize_ / kSectorNumberSize;
  // The list grows with the slots read, never with the count claimed. A
  // sector beyond the file stays unknown: chains through its part break.
  const auto name = [&](std::uint32_t s) {
    if (s >= sectorCount_) {
      listSound_ = false;
      s = kUnknownEntry;
    }
    fatLocations_.push_back(s);
  };
  // 109 in the header, the rest in the DIFAT chain.
  for (std::uint32_t i = 0; i < fatSectors && i < kHeaderDifatSlots; ++i) {
    std::uint32_t s = 0;
    if (!header.u32(kHdrDifat + kSectorNumberSize * i, s)) break;
    name(s);
  }
  std::vector<std::uint32_t> difatSectors;
  std::unordered_set<std::uint32_t> difatSeen;  // one per DIFAT sector read
  std::vector<std::uint8_t> buf;
  std::uint32_t difat = firstDifat;
  while (fatLocations_.size() < fatSectors) {
    // The list is not complete: the chain must go on, inside the file.
    if (difat >= sectorCount_ || !difatSeen.insert(difat).second) {
      listSound_ = false;
      break;
    }
    difatSectors.push_back(difat);
    std::size_t got = 0;
    const HRESULT hr = readSector(difat, buf, got);
    if (Failed(hr)) return hr;
    if (got < sectorSize_) {
      listSound_ = false;
      break;
    }
    // A whole sector: every slot reads.
    const ByteReader r(buf.data(), buf.size());
    for (std::uint32_t j = 0; j + 1 < perSector && fatLocations_.size() < fatSectors; ++j) {
      std::uint32_t s = 0;
      if (!r.u32(std::uint64_t{kSectorNumberSize} * j, s)) break;
      name(s);
    }
    if (!r.u32(std::uint64_t{kSectorNumberSize} * (perSector - 1), difat)) break;
  }
  fatPages_.assign(fatLocations_.size(), nullptr);

  // No sector may be named twice, as a FAT sector or a DIFAT sector.
  std::vector<std::uint32_t> named;
  named.reserve(fatLocations_.size() + difatSectors.size());
  for (std::uint32_t s : fatLocations_)
    if (s != kUnknownEntry) named.push_back(s);
  named.insert(named.end(), difatSectors.begin(), difatSectors.end());
  std::sort(named.begin(), named.end());
  if (std::adjacent_find(named.begin(), named.end()) != named.end()) listSound_ = false;
  return S_OK;
}

HRESULT CompoundFile::loadFatPage(std::size_t k) {
  const std::uint32_t at = fatLocations_[k];
  if (at == kUnknownEntry) {
    fatPages_[k] = UnknownPage();
    return S_OK;
  }
  if (k < fatWindowFirst_ || k - fatWindowFirst_ >= fatWindowSectors_) {
    // A walk that goes on where the last read ended reads twice as many
    // sectors next time, up to the window; one that jumps reads one.
    const std::size_t most = std::max<std::size_t>(1, kFatWindowBytes >> sectorShift_);
    fatReadAhead_ = k == fatWindowFirst_ + fatWindowSectors_ ? std::min(fatReadAhead_ * 2, most) : 1;
    std::size_t n = 1;
    while (n < fatReadAhead_ && k + n < fatLocations_.size() && fatLocations_[k + n] != kUnknownEntry &&
           std::uint64_t{fatLocations_[k + n]} == std::uint64_t{at} + n)
      ++n;
    fatWindowSectors_ = 0;
    fatWindow_.resize(n << sectorShift_);
    std::size_t got = 0;
    const HRESULT hr = file_->readAt(sectorOffset(at), fatWindow_.data(), fatWindow_.size(), got);
    if (Failed(hr)) return hr;
    fatWindowFirst_ = k;
    fatWindowSectors_ = n;
    fatWindowBytes_ = got;
  }
  // Entries the file does not hold (a cut file) stay unknown.
  const std::uint32_t perSector = fatPageMask_ + 1;
  auto page = std::make_unique<std::uint32_t[]>(perSector);
  const ByteReader window(fatWindow_.data(), fatWindowBytes_);
  const std::uint64_t base = std::uint64_t{k - fatWindowFirst_} << sectorShift_;
  for (std::uint32_t j = 0; j < perSector; ++j) {
    std::uint32_t v = 0;
    page[j] = window.u32(base + std::uint64_t{kSectorNumberSize} * j, v) ? v : kUnknownEntry;
  }
  fatPages_[k] = page.get();
  fatLoaded_.push_back(std::move(page));
  return S_OK;
}

HRESULT CompoundFile::loadDirectory(std::uint32_t first) {
  const auto fat = [this](std::uint32_t s, std::uint32_t& next) { return fatNext(s, next); };
  std::vector<std::uint32_t> chain;
  HRESULT hr = FollowChain(fat, first, sectorCount_, sectorCount_, chain);
  if (Failed(hr)) return hr;
  std::vector<std::uint8_t> buf;
  std::uint64_t id = 0;
  for (std::uint32_t s : chain) {
    std::size_t got = 0;
    hr = readSector(s, buf, got);
    if (Failed(hr)) return hr;
    // Only entries in use are kept: a directory's chain may run through a
    // hole of the file, which reads as unused entries.
    const ByteReader r(buf.data(), got);
    for (std::uint64_t at = 0; r.fits(at, kDirEntrySize) && id < kNoStream; at += kDirEntrySize, ++id) {
      std::uint8_t type = 0;
      if (!r.u8(at + kDirType, type)) break;
      if (type == kTypeStorage || type == kTypeStream || (type == kTypeRoot && id == 0)) {
        liveIds_.push_back(static_cast<std::uint32_t>(id));
        directory_.insert(directory_.end(), buf.begin() + static_cast<std::ptrdiff_t>(at),
                          buf.begin() + static_cast<std::ptrdiff_t>(at + kDirEntrySize));
      }
    }
    if (got < sectorSize_) break;
  }
  entryCount_ = static_cast<std::uint32_t>(id);
  DirEntry root;
  if (!entry(0, root) || root.type != EntryType::kRoot) return STG_E_DOCFILECORRUPT;
  return S_OK;
}

HRESULT CompoundFile::loadMiniStream(std::uint32_t firstMiniFat) {
  const auto fat = [this](std::uint32_t s, std::uint32_t& next) { return fatNext(s, next); };
  DirEntry root;
  entry(0, root);
  miniStreamSize_ = streamSize(root);
  std::vector<std::uint32_t> chain;
  const std::uint64_t rootSectors = miniStreamSize_ == 0 ? 0 : ((miniStreamSize_ - 1) >> sectorShift_) + 1;
  HRESULT hr = FollowChain(fat, root.start, rootSectors, sectorCount_, chain);
  if (Failed(hr)) return hr;
  miniStreamMap_.reserve(chain.size());
  for (std::uint32_t s : chain) miniStreamMap_.push_back(sectorOffset(s));
  // Nothing past the root's chain can be reached, and a claimed size (up to
  // 2^64 in version 4) must size no table.
  miniStreamSize_ = std::min<std::uint64_t>(miniStreamSize_, std::uint64_t{chain.size()} << sectorShift_);

  // The mini FAT needs no more entries than the mini stream has mini sectors.
  const std::uint64_t miniSectors = miniStreamSize_ >> kMiniSectorShift;
  const std::uint32_t perSector = sectorSize_ / kSectorNumberSize;
  hr = FollowChain(fat, firstMiniFat, miniSectors / perSector + 1, sectorCount_, chain);
  if (Failed(hr)) return hr;
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
  return S_OK;
}

bool CompoundFile::entry(std::uint32_t id, DirEntry& out) const {
  if (id >= entryCount_) return false;
  const auto found = std::lower_bound(liveIds_.begin(), liveIds_.end(), id);
  if (found == liveIds_.end() || *found != id) {
    out = DirEntry();
    return true;
  }
  const ByteReader dir(directory_.data(), directory_.size());
  const ByteReader r = dir.sub(static_cast<std::uint64_t>(found - liveIds_.begin()) * kDirEntrySize, kDirEntrySize);
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
  // In-order walk; an entry is taken at most once, so cycles end the walk.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> stack;  // (id, right sibling)
  auto pushLeftSpine = [&](std::uint32_t id) {
    for (;;) {
      const auto found = std::lower_bound(liveIds_.begin(), liveIds_.end(), id);
      if (found == liveIds_.end() || *found != id) return;  // absent or not in use
      const auto slot = static_cast<std::size_t>(found - liveIds_.begin());
      DirEntry node;
      if (slot >= visited.size() || visited[slot] || !entry(id, node) || node.type == EntryType::kUnused) return;
      visited[slot] = true;
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

HRESULT CompoundFile::sectorMap(const DirEntry& e, std::uint32_t& unitShift, std::vector<ChainRun>& runs,
                                std::uint64_t& units) {
  runs.clear();
  units = 0;
  std::uint64_t follows = UINT64_MAX;  // the offset that would continue the last run
  const auto add = [&](std::uint64_t offset) {
    if (offset != follows) runs.push_back(ChainRun{units, offset});
    ++units;
    follows = offset + (std::uint64_t{1} << unitShift);
  };
  const std::uint64_t size = streamSize(e);
  std::uint64_t links = 0;
  HRESULT hr = S_OK;
  if (size < kMiniStreamCutoff) {
    unitShift = kMiniSectorShift;
    const auto miniFat = [this](std::uint32_t m, std::uint32_t& next) { return miniFatNext(m, next); };
    hr = CountLinks(miniFat, e.start, (size + kMiniSectorSize - 1) >> kMiniSectorShift,
                    miniStreamSize_ >> kMiniSectorShift, links);
    if (Failed(hr)) return hr;
    bool mapped = true;
    hr = TakeLinks(miniFat, e.start, links, [&](std::uint32_t m) {
      const std::uint64_t at = std::uint64_t{m} << kMiniSectorShift;
      const std::uint64_t sector = at >> sectorShift_;
      // Past a cut in the mini stream's own chain nothing more is reachable.
      if (!mapped || sector >= miniStreamMap_.size()) {
        mapped = false;
        return;
      }
      add(miniStreamMap_[static_cast<std::size_t>(sector)] + (at & (sectorSize_ - 1)));
    });
  } else {
    unitShift = sectorShift_;
    const auto fat = [this](std::uint32_t s, std::uint32_t& next) { return fatNext(s, next); };
    hr = CountLinks(fat, e.start, ((size - 1) >> sectorShift_) + 1, sectorCount_, links);
    if (Failed(hr)) return hr;
    hr = TakeLinks(fat, e.start, links, [&](std::uint32_t s) { add(sectorOffset(s)); });
  }
  runs.shrink_to_fit();
  return hr;
}

}  // namespace platform
