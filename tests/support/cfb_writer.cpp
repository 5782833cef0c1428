#include "cfb_writer.h"

#include <algorithm>
#include <stdexcept>

#include "platform/byte_reader.h"

namespace testsupport {

using namespace platform::cfb;

namespace {

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

char16_t Upper(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  return c;
}

// Directory order: shorter names first, then upper-cased code units.
bool NameLess(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return Upper(a[i]) < Upper(b[i]);
  return false;
}

}  // namespace

void PutU16(Bytes& bytes, std::uint64_t offset, std::uint16_t value) {
  if (offset > bytes.size() || bytes.size() - offset < 2) throw std::out_of_range("PutU16");
  platform::StoreU16(bytes.data() + offset, value);
}

void PutU32(Bytes& bytes, std::uint64_t offset, std::uint32_t value) {
  if (offset > bytes.size() || bytes.size() - offset < 4) throw std::out_of_range("PutU32");
  platform::StoreU32(bytes.data() + offset, value);
}

std::uint32_t GetU32(const Bytes& bytes, std::uint64_t offset) {
  std::uint32_t v = 0;
  if (!platform::ByteReader(bytes.data(), bytes.size()).u32(offset, v)) throw std::out_of_range("GetU32");
  return v;
}

CfbWriter::CfbWriter(int majorVersion)
    : major_(majorVersion), sectorSize_(majorVersion == kMajorVersion4 ? kSectorSize4 : kSectorSize3) {
  if (majorVersion != kMajorVersion3 && majorVersion != kMajorVersion4) throw std::invalid_argument("major version 3 or 4");
  nodes_.emplace_back();
  nodes_[0].name = u"Root Entry";
  nodes_[0].storage = true;
}

int CfbWriter::add(int parent, const std::u16string& name, bool storage, Bytes data) {
  if (!nodes_.at(parent).storage) throw std::invalid_argument("parent is not a storage");
  if (name.empty() || name.size() > kDirNameUnits) throw std::invalid_argument("name of 1 to 31 characters");
  nodes_.emplace_back();
  Node& n = nodes_.back();
  n.name = name;
  n.storage = storage;
  n.data = std::move(data);
  const int handle = static_cast<int>(nodes_.size() - 1);
  nodes_[parent].children.push_back(handle);
  return handle;
}

int CfbWriter::addStorage(int parent, const std::u16string& name) { return add(parent, name, true, {}); }

int CfbWriter::addStream(int parent, const std::u16string& name, Bytes data) {
  return add(parent, name, false, std::move(data));
}

void CfbWriter::setClsid(int node, const std::array<std::uint8_t, 16>& clsid) { nodes_.at(node).clsid = clsid; }

// Links `children` (handles) into a tree and returns the entry id of its top.
std::uint32_t CfbWriter::linkTree(std::vector<int> children) {
  std::sort(children.begin(), children.end(),
            [&](int a, int b) { return NameLess(nodes_[a].name, nodes_[b].name); });
  if (children.empty()) return kNoStream;
  if (unorderedTree_) {
    for (std::size_t i = children.size(); i-- > 1;) nodes_[children[i]].right = nodes_[children[i - 1]].entryId;
    return nodes_[children.back()].entryId;
  }
  // Balanced: the middle name on top, the halves below (all nodes black).
  struct Builder {
    std::vector<Node>& nodes;
    const std::vector<int>& sorted;
    std::uint32_t make(std::size_t lo, std::size_t hi) {
      if (lo >= hi) return kNoStream;
      const std::size_t mid = lo + (hi - lo) / 2;
      Node& n = nodes[sorted[mid]];
      n.left = make(lo, mid);
      n.right = make(mid + 1, hi);
      return n.entryId;
    }
  } builder{nodes_, children};
  return builder.make(0, children.size());
}

Bytes CfbWriter::build() {
  const std::uint64_t ss = sectorSize_;
  const std::uint64_t perSector = ss / kSectorNumberSize;

  // Entry ids in depth-first order, root first.
  std::vector<int> order;
  std::vector<int> stack{kRoot};
  while (!stack.empty()) {
    const int h = stack.back();
    stack.pop_back();
    nodes_[h].entryId = static_cast<std::uint32_t>(order.size());
    order.push_back(h);
    for (auto it = nodes_[h].children.rbegin(); it != nodes_[h].children.rend(); ++it) stack.push_back(*it);
  }
  for (Node& n : nodes_) {
    n.left = n.right = n.child = kNoStream;
    n.chain.clear();
    n.mini = false;
  }
  for (int h : order)
    if (nodes_[h].storage) nodes_[h].child = linkTree(nodes_[h].children);

  // Small streams go into the mini stream, one after another.
  std::vector<std::uint32_t> miniFat;
  Bytes miniStream;
  for (int h : order) {
    Node& n = nodes_[h];
    if (n.storage || n.data.size() >= kMiniStreamCutoff) continue;
    n.mini = true;
    const std::uint64_t count = CeilDiv(n.data.size(), kMiniSectorSize);
    for (std::uint64_t i = 0; i < count; ++i) {
      const auto m = static_cast<std::uint32_t>(miniFat.size());
      n.chain.push_back(m);
      miniFat.push_back(i + 1 < count ? m + 1 : kEndOfChain);
    }
    miniStream.insert(miniStream.end(), n.data.begin(), n.data.end());
    miniStream.resize(miniFat.size() * kMiniSectorSize, 0);
  }

  const std::uint64_t dirCount = CeilDiv(order.size() * kDirEntrySize, ss);
  const std::uint64_t miniFatCount = CeilDiv(miniFat.size() * kSectorNumberSize, ss);
  const std::uint64_t miniStreamCount = CeilDiv(miniStream.size(), ss);
  std::uint64_t dataCount = dirCount + miniFatCount + miniStreamCount;
  for (int h : order)
    if (!nodes_[h].storage && !nodes_[h].mini) dataCount += CeilDiv(nodes_[h].data.size(), ss);
  // The FAT must also cover its own sectors and the DIFAT's.
  std::uint64_t fatCount = 0, difatCount = 0;
  for (;;) {
    const std::uint64_t f = CeilDiv(dataCount + fatCount + difatCount, perSector);
    const std::uint64_t d = f > kHeaderDifatSlots ? CeilDiv(f - kHeaderDifatSlots, perSector - 1) : 0;
    if (f == fatCount && d == difatCount) break;
    fatCount = f;
    difatCount = d;
  }
  const std::uint64_t total = dataCount + fatCount + difatCount;

  std::uint32_t next = 0;
  auto take = [&](std::uint64_t count) {
    std::vector<std::uint32_t> s;
    for (std::uint64_t i = 0; i < count; ++i) s.push_back(next++);
    return s;
  };
  fatSectors_ = take(fatCount);
  difatSectors_ = take(difatCount);
  dirSectors_ = take(dirCount);
  miniFatSectors_ = take(miniFatCount);
  miniStreamSectors_ = take(miniStreamCount);
  for (int h : order) {
    Node& n = nodes_[h];
    if (n.storage || n.mini) continue;
    n.chain = take(CeilDiv(n.data.size(), ss));
    if (reverseChains_) std::reverse(n.chain.begin(), n.chain.end());
  }

  std::vector<std::uint32_t> fat(static_cast<std::size_t>(fatCount * perSector), kFreeSect);
  auto link = [&](const std::vector<std::uint32_t>& chain) {
    for (std::size_t i = 0; i < chain.size(); ++i) fat[chain[i]] = i + 1 < chain.size() ? chain[i + 1] : kEndOfChain;
  };
  for (std::uint32_t s : fatSectors_) fat[s] = kFatSect;
  for (std::uint32_t s : difatSectors_) fat[s] = kDifSect;
  link(dirSectors_);
  link(miniFatSectors_);
  link(miniStreamSectors_);
  for (int h : order)
    if (!nodes_[h].storage && !nodes_[h].mini) link(nodes_[h].chain);

  Bytes out(static_cast<std::size_t>((total + 1) * ss), 0);
  auto sectorAt = [&](std::uint32_t s) { return out.data() + sectorOffset(s); };

  // Header.
  std::copy(std::begin(kSignature), std::end(kSignature), out.begin() + kHdrSignature);
  PutU16(out, kHdrMinorVersion, kMinorVersion);
  PutU16(out, kHdrMajorVersion, static_cast<std::uint16_t>(major_));
  PutU16(out, kHdrByteOrder, kByteOrderMark);
  PutU16(out, kHdrSectorShift, major_ == kMajorVersion4 ? kSectorShift4 : kSectorShift3);
  PutU16(out, kHdrMiniSectorShift, kMiniSectorShift);
  PutU32(out, kHdrDirSectorCount, major_ == kMajorVersion4 ? static_cast<std::uint32_t>(dirCount) : 0);
  PutU32(out, kHdrFatSectorCount, static_cast<std::uint32_t>(fatCount));
  PutU32(out, kHdrFirstDirSector, dirSectors_.front());
  PutU32(out, kHdrMiniStreamCutoff, kMiniStreamCutoff);
  PutU32(out, kHdrFirstMiniFatSector, miniFatSectors_.empty() ? kEndOfChain : miniFatSectors_.front());
  PutU32(out, kHdrMiniFatSectorCount, static_cast<std::uint32_t>(miniFatCount));
  PutU32(out, kHdrFirstDifatSector, difatSectors_.empty() ? kEndOfChain : difatSectors_.front());
  PutU32(out, kHdrDifatSectorCount, static_cast<std::uint32_t>(difatCount));
  for (std::uint64_t i = 0; i < kHeaderDifatSlots; ++i)
    PutU32(out, kHdrDifat + kSectorNumberSize * i, i < fatSectors_.size() ? fatSectors_[i] : kFreeSect);

  // DIFAT sectors: FAT sector numbers past the first 109, then the next link.
  for (std::size_t d = 0; d < difatSectors_.size(); ++d) {
    const std::uint64_t base = sectorOffset(difatSectors_[d]);
    for (std::uint64_t j = 0; j + 1 < perSector; ++j) {
      const std::uint64_t k = kHeaderDifatSlots + d * (perSector - 1) + j;
      PutU32(out, base + kSectorNumberSize * j, k < fatSectors_.size() ? fatSectors_[k] : kFreeSect);
    }
    PutU32(out, base + kSectorNumberSize * (perSector - 1), d + 1 < difatSectors_.size() ? difatSectors_[d + 1] : kEndOfChain);
  }

  for (std::size_t i = 0; i < fat.size(); ++i)
    platform::StoreU32(sectorAt(fatSectors_[i / perSector]) + kSectorNumberSize * (i % perSector), fat[i]);
  for (std::size_t i = 0; i < miniFat.size(); ++i)
    platform::StoreU32(sectorAt(miniFatSectors_[i / perSector]) + kSectorNumberSize * (i % perSector), miniFat[i]);
  for (std::size_t i = miniFat.size(); i < miniFatCount * perSector; ++i)
    platform::StoreU32(sectorAt(miniFatSectors_[i / perSector]) + kSectorNumberSize * (i % perSector), kFreeSect);
  auto spread = [&](const Bytes& data, const std::vector<std::uint32_t>& chain) {
    for (std::size_t k = 0; k * ss < data.size(); ++k) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(ss, data.size() - k * ss));
      std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(k * ss), n, sectorAt(chain[k]));
    }
  };
  spread(miniStream, miniStreamSectors_);
  for (int h : order)
    if (!nodes_[h].storage && !nodes_[h].mini) spread(nodes_[h].data, nodes_[h].chain);

  // Directory; slots past the last entry are empty with no links.
  for (std::uint64_t id = 0; id < dirCount * ss / kDirEntrySize; ++id) {
    std::uint8_t* e = sectorAt(dirSectors_[id * kDirEntrySize / ss]) + (id * kDirEntrySize) % ss;
    if (id >= order.size()) {
      platform::StoreU32(e + kDirLeft, kNoStream);
      platform::StoreU32(e + kDirRight, kNoStream);
      platform::StoreU32(e + kDirChild, kNoStream);
      continue;
    }
    const int h = order[id];
    const Node& n = nodes_[h];
    for (std::size_t i = 0; i < n.name.size(); ++i) platform::StoreU16(e + kDirName + 2 * i, n.name[i]);
    platform::StoreU16(e + kDirNameLength, static_cast<std::uint16_t>((n.name.size() + 1) * 2));
    e[kDirType] = h == kRoot ? kTypeRoot : (n.storage ? kTypeStorage : kTypeStream);
    e[kDirColor] = kColorBlack;
    platform::StoreU32(e + kDirLeft, n.left);
    platform::StoreU32(e + kDirRight, n.right);
    platform::StoreU32(e + kDirChild, n.child);
    std::copy(n.clsid.begin(), n.clsid.end(), e + kDirClsid);
    std::uint32_t start = 0;
    std::uint64_t size = 0;
    if (h == kRoot) {
      start = miniStreamSectors_.empty() ? kEndOfChain : miniStreamSectors_.front();
      size = miniStream.size();
    } else if (!n.storage) {
      start = n.chain.empty() ? kEndOfChain : n.chain.front();
      size = n.data.size();
    }
    platform::StoreU32(e + kDirStartSector, start);
    platform::StoreU32(e + kDirSize, static_cast<std::uint32_t>(size));
    platform::StoreU32(e + kDirSize + 4, static_cast<std::uint32_t>(size >> 32));
  }
  return out;
}

std::uint64_t CfbWriter::entryOffset(int node) const {
  const std::uint64_t at = std::uint64_t{entryId(node)} * kDirEntrySize;
  return sectorOffset(dirSectors_.at(at / sectorSize_)) + at % sectorSize_;
}

std::vector<std::uint64_t> CfbWriter::dataOffsets(int node) const {
  const Node& n = nodes_.at(node);
  std::vector<std::uint64_t> out;
  for (std::uint32_t s : n.chain) {
    if (n.mini) {
      const std::uint64_t at = std::uint64_t{s} * kMiniSectorSize;
      out.push_back(sectorOffset(miniStreamSectors_.at(at / sectorSize_)) + at % sectorSize_);
    } else {
      out.push_back(sectorOffset(s));
    }
  }
  return out;
}

std::uint64_t CfbWriter::fatEntryOffset(std::uint32_t sector) const {
  const std::uint32_t perSector = sectorSize_ / kSectorNumberSize;
  return sectorOffset(fatSectors_.at(sector / perSector)) + std::uint64_t{kSectorNumberSize} * (sector % perSector);
}

std::uint64_t CfbWriter::miniFatEntryOffset(std::uint32_t miniSector) const {
  const std::uint32_t perSector = sectorSize_ / kSectorNumberSize;
  return sectorOffset(miniFatSectors_.at(miniSector / perSector)) + std::uint64_t{kSectorNumberSize} * (miniSector % perSector);
}

}  // namespace testsupport
