// Mutation sweep: derives variants of seed workbooks (every real workbook
// beside the repository as it is, tagged, and tagged and damaged, plus
// generated ones) by random byte flips, truncation and targeted changes to
// compound-file header and directory fields, FAT entries, BIFF record types
// and lengths, Office drawing record headers and lengths, and TXO counts. It
// runs `Bookmender -check` on each variant under a time limit and fails a
// variant on a signal (crash, sanitizer abort), a time-out, a sanitizer
// report, an exit code outside the check mode's documented set, a changed
// file, or a temporary file left behind.
//
//   mutation_sweep --bookmender PATH [--count N] [--seed S] [--timeout SECONDS]
//                  [--jobs N] [--corpus DIR] [--failures DIR] [--variant N]
//
// Variant N of seed S is always the same file. Failing variants are kept in
// the failures folder (default: mutation-failures in the current folder);
// --variant N runs that one variant alone and keeps it there to be looked at.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "charted_workbook.h"
#include "damage.h"
#include "platform/byte_reader.h"
#include "platform/cfb_format.h"
#include "workbook_file.h"

using namespace testsupport;
namespace cfb = platform::cfb;

namespace {

// ---------------------------------------------------------------------------
// Where the structures of a seed lie, found once per seed.

constexpr std::uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr std::uint32_t kFree = 0xFFFFFFFFu;
constexpr std::uint32_t kMaxRegularSector = 0xFFFFFFFAu;

struct BiffRecordAt {
  std::uint64_t offset;  // of the 4-byte header in the Workbook stream
  std::uint16_t type;
  std::uint16_t length;
};

struct Layout {
  std::uint32_t sectorSize = 0;
  std::vector<std::uint64_t> fatEntries;  // file offsets of every FAT entry
  std::vector<std::uint64_t> dirEntries;  // file offsets of every directory entry
  // The Workbook stream: the file offset of each of its sectors (mini
  // sectors for a small stream), `unit` bytes each.
  std::vector<std::uint64_t> streamSectors;
  std::uint32_t unit = 0;
  std::uint64_t streamSize = 0;
  std::vector<BiffRecordAt> records;
  std::vector<std::uint64_t> drawingHeaders;  // stream offsets of 8-byte drawing record headers
  std::vector<std::uint64_t> txoData;         // stream offsets of TXO record data
};

std::uint64_t SectorOffset(std::uint32_t sector, std::uint32_t sectorSize) {
  return (std::uint64_t{sector} + 1) * sectorSize;
}

// A field of a seed, or `fallback` where the file is too short to hold it: a
// layout is found, as far as it goes, in any file.
std::uint32_t U32Or(const platform::ByteReader& file, std::uint64_t offset, std::uint32_t fallback) {
  std::uint32_t v = 0;
  return file.u32(offset, v) ? v : fallback;
}

// A chain of sectors, stopped at its end, at a cycle, or at a sector that is
// not in the file.
std::vector<std::uint32_t> Chain(const platform::ByteReader& file, const std::vector<std::uint64_t>& fat,
                                 std::uint32_t start, std::uint64_t sectors) {
  std::vector<std::uint32_t> chain;
  std::set<std::uint32_t> seen;
  std::uint32_t s = start;
  while (s <= kMaxRegularSector && s < sectors && s < fat.size() && seen.insert(s).second) {
    chain.push_back(s);
    if (!file.u32(fat[s], s)) break;
  }
  return chain;
}

bool FindLayout(const Bytes& bytes, Layout& out) {
  const platform::ByteReader file(bytes.data(), bytes.size());
  std::uint16_t shift = 0;
  if (!file.u16(cfb::kHdrSectorShift, shift) || (shift != 9 && shift != 12)) return false;
  const std::uint32_t ss = 1u << shift;
  out.sectorSize = ss;
  const std::uint64_t sectors = bytes.size() / ss;  // counting the header's place

  // FAT sectors: the header's 109, then the DIFAT chain.
  std::vector<std::uint32_t> fatSectors;
  for (std::uint32_t i = 0; i < 109; ++i) {
    std::uint32_t s = 0;
    if (file.u32(cfb::kHdrDifat + 4 * i, s) && s < sectors) fatSectors.push_back(s);
  }
  std::uint32_t difat = U32Or(file, cfb::kHdrFirstDifatSector, 0);
  std::set<std::uint32_t> seenDifat;
  while (difat < sectors && seenDifat.insert(difat).second) {
    const std::uint64_t base = SectorOffset(difat, ss);
    for (std::uint32_t i = 0; i + 1 < ss / 4; ++i) {
      std::uint32_t s = 0;
      if (file.u32(base + 4 * i, s) && s < sectors) fatSectors.push_back(s);
    }
    if (!file.u32(base + ss - 4, difat)) break;
  }
  for (std::uint32_t s : fatSectors) {
    for (std::uint32_t i = 0; i < ss / 4; ++i) {
      const std::uint64_t at = SectorOffset(s, ss) + 4 * i;
      if (file.fits(at, 4)) out.fatEntries.push_back(at);
    }
  }
  if (out.fatEntries.empty()) return false;

  const std::uint32_t firstDir = U32Or(file, cfb::kHdrFirstDirSector, 0);
  for (std::uint32_t s : Chain(file, out.fatEntries, firstDir, sectors)) {
    for (std::uint32_t i = 0; i < ss / 128; ++i) out.dirEntries.push_back(SectorOffset(s, ss) + 128 * i);
  }

  // The Workbook stream's entry.
  const std::u16string wanted = u"Workbook";
  std::uint64_t entry = 0;
  bool found = false;
  for (std::uint64_t e : out.dirEntries) {
    std::uint16_t nameLength = 0;
    std::uint8_t type = 0;
    if (!file.u16(e + cfb::kDirNameLength, nameLength) || !file.u8(e + cfb::kDirType, type) ||
        type != cfb::kTypeStream)
      continue;
    if (nameLength != 2 * (wanted.size() + 1)) continue;
    bool same = true;
    for (std::size_t i = 0; i < wanted.size() && same; ++i) {
      std::uint16_t c = 0;
      same = file.u16(e + 2 * i, c) && c == wanted[i];
    }
    if (same) {
      entry = e;
      found = true;
      break;
    }
  }
  if (!found) return false;
  const std::uint32_t start = U32Or(file, entry + cfb::kDirStartSector, 0);
  const std::uint32_t size = U32Or(file, entry + cfb::kDirSize, 0);
  const std::uint32_t cutoff = U32Or(file, cfb::kHdrMiniStreamCutoff, cfb::kMiniStreamCutoff);
  out.streamSize = size;
  if (size >= cutoff) {
    out.unit = ss;
    for (std::uint32_t s : Chain(file, out.fatEntries, start, sectors)) out.streamSectors.push_back(SectorOffset(s, ss));
  } else {
    // A small stream lives in mini sectors inside the root's stream.
    out.unit = 64;
    const std::uint32_t rootStart = U32Or(file, out.dirEntries.front() + cfb::kDirStartSector, 0);
    const std::uint32_t miniFatStart = U32Or(file, cfb::kHdrFirstMiniFatSector, 0);
    const std::vector<std::uint32_t> root = Chain(file, out.fatEntries, rootStart, sectors);
    std::vector<std::uint64_t> miniFat;
    for (std::uint32_t s : Chain(file, out.fatEntries, miniFatStart, sectors)) {
      for (std::uint32_t i = 0; i < ss / 4; ++i) miniFat.push_back(SectorOffset(s, ss) + 4 * i);
    }
    const std::uint64_t miniSectors = std::uint64_t{root.size()} * ss / 64;
    for (std::uint32_t m : Chain(file, miniFat, start, miniSectors)) {
      const std::uint64_t at = std::uint64_t{m} * 64;
      out.streamSectors.push_back(SectorOffset(root[at / ss], ss) + at % ss);
    }
  }
  out.streamSize = std::min<std::uint64_t>(out.streamSize, out.streamSectors.size() * std::uint64_t{out.unit});

  // The stream's bytes, to walk its records.
  Bytes stream;
  for (std::uint64_t at : out.streamSectors) {
    const platform::ByteReader part = file.sub(at, out.unit);
    stream.insert(stream.end(), part.data(), part.data() + part.size());
  }
  stream.resize(std::min<std::uint64_t>(stream.size(), out.streamSize));
  const platform::ByteReader s(stream.data(), stream.size());
  std::uint64_t p = 0;
  std::uint16_t type = 0, length = 0;
  while (s.u16(p, type) && s.u16(p + 2, length)) {
    out.records.push_back({p, type, length});
    const std::uint64_t data = p + 4;
    if (type == 0x01B6 && s.fits(data, 14)) out.txoData.push_back(data);
    if (type == 0x00EC) {
      // The drawing records that begin inside this MSODRAWING record.
      std::uint64_t q = data;
      std::uint16_t verInstance = 0;
      std::uint32_t recordLength = 0;
      while (q + 8 <= data + length && s.u16(q, verInstance) && s.u32(q + 4, recordLength)) {
        out.drawingHeaders.push_back(q);
        q += 8 + ((verInstance & 0x000F) == 0x000F ? 0 : std::uint64_t{recordLength});
      }
    }
    p = data + length;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Mutations.

enum Kind {
  kFlip,
  kTruncate,
  kHeader,
  kDirectory,
  kFat,
  kBiffType,
  kBiffLength,
  kDrawingHeader,
  kDrawingLength,
  kTxoCount,
  kKinds
};
const char* const kKindNames[kKinds] = {"flip",       "truncate",       "header",         "directory",
                                        "fat",        "biff-type",      "biff-length",    "drawing-header",
                                        "drawing-length", "txo-count"};

struct Seed {
  std::string name;
  Bytes bytes;
  bool hasLayout = false;
  Layout layout;
};

class Mutator {
 public:
  Mutator(const Seed& seed, std::mt19937_64& random) : seed_(seed), random_(random), bytes_(seed.bytes) {}

  bool applicable(Kind kind) const {
    const Layout& l = seed_.layout;
    switch (kind) {
      case kFlip:
      case kTruncate:
      case kHeader: return true;
      case kDirectory: return seed_.hasLayout && !l.dirEntries.empty();
      case kFat: return seed_.hasLayout && !l.fatEntries.empty();
      case kBiffType:
      case kBiffLength: return seed_.hasLayout && !l.records.empty();
      case kDrawingHeader:
      case kDrawingLength: return seed_.hasLayout && !l.drawingHeaders.empty();
      case kTxoCount: return seed_.hasLayout && !l.txoData.empty();
      default: return false;
    }
  }

  void apply(Kind kind) {
    const Layout& l = seed_.layout;
    switch (kind) {
      case kFlip: {
        const int flips = 1 + static_cast<int>(below(16));
        for (int i = 0; i < flips && !bytes_.empty(); ++i) {
          bytes_[below(bytes_.size())] ^= static_cast<std::uint8_t>(1u << below(8) | (below(4) == 0 ? below(256) : 0));
        }
        break;
      }
      case kTruncate: {
        std::uint64_t size = below(bytes_.size() + 1);
        if (below(2) == 0 && seed_.layout.sectorSize) size -= size % seed_.layout.sectorSize;  // at a sector edge
        bytes_.resize(size);
        break;
      }
      case kHeader: {
        static const std::pair<std::uint64_t, int> fields[] = {
            {0x00, 1}, {0x18, 2}, {0x1A, 2}, {0x1C, 2}, {0x1E, 2}, {0x20, 2}, {0x28, 4}, {0x2C, 4},
            {0x30, 4}, {0x38, 4}, {0x3C, 4}, {0x40, 4}, {0x44, 4}, {0x48, 4}, {0x4C, 4}, {0x50, 4}};
        const auto& field = fields[below(std::size(fields))];
        putFile(field.first, field.second, interesting(readFile(field.first, field.second), field.second));
        break;
      }
      case kDirectory: {
        // The root, the Workbook stream and the property streams come first in
        // the walk of a typical file; any entry may be picked.
        static const std::pair<std::uint64_t, int> fields[] = {{0x40, 2}, {0x42, 1}, {0x43, 1}, {0x44, 4},
                                                               {0x48, 4}, {0x4C, 4}, {0x74, 4}, {0x78, 4},
                                                               {0x7C, 4}, {0x00, 2}};
        const std::uint64_t entry = l.dirEntries[below(std::min<std::size_t>(l.dirEntries.size(), 8))];
        const auto& field = fields[below(std::size(fields))];
        putFile(entry + field.first, field.second, interesting(readFile(entry + field.first, field.second), field.second));
        break;
      }
      case kFat: {
        const std::uint64_t index = below(std::min<std::size_t>(l.fatEntries.size(), bytes_.size() / l.sectorSize + 1));
        const std::uint64_t at = l.fatEntries[index];
        std::uint32_t value;
        switch (below(6)) {
          case 0: value = static_cast<std::uint32_t>(index); break;  // a sector that points at itself
          case 1: value = static_cast<std::uint32_t>(below(index + 1)); break;  // back: a cycle, mostly
          case 2: value = kEndOfChain; break;
          case 3: value = kFree; break;
          case 4: value = static_cast<std::uint32_t>(bytes_.size() / l.sectorSize + below(4)); break;  // past the end
          default: value = interesting(readFile(at, 4), 4); break;
        }
        putFile(at, 4, value);
        break;
      }
      case kBiffType: {
        static const std::uint16_t types[] = {0x0809, 0x000A, 0x003C, 0x00EC, 0x005D, 0x01B6,
                                              0x002F, 0x0085, 0x0000, 0xFFFF};
        const BiffRecordAt& r = l.records[below(l.records.size())];
        const std::uint32_t value = below(3) == 0 ? static_cast<std::uint32_t>(below(0x10000)) : types[below(std::size(types))];
        putStream(r.offset, 2, value);
        break;
      }
      case kBiffLength: {
        const BiffRecordAt& r = l.records[below(l.records.size())];
        static const std::uint32_t lengths[] = {0, 1, 3, 8, 8223, 8224, 8225, 0x7FFF, 0xFFFF};
        std::uint32_t value;
        switch (below(3)) {
          case 0: value = lengths[below(std::size(lengths))]; break;
          case 1: value = static_cast<std::uint16_t>(r.length + static_cast<int>(below(17)) - 8); break;
          default: value = interesting(r.length, 2); break;
        }
        putStream(r.offset + 2, 2, value);
        break;
      }
      case kDrawingHeader: {
        const std::uint64_t at = l.drawingHeaders[below(l.drawingHeaders.size())];
        static const std::uint16_t types[] = {0xF000, 0xF002, 0xF003, 0xF004, 0xF008, 0xF009, 0xF00A,
                                              0xF00B, 0xF010, 0xF011, 0xF00D, 0xF122, 0x0000, 0xFFFF};
        if (below(2) == 0) {
          // Version and instance: a container becomes an atom or the reverse.
          const std::uint32_t verInstance = readStream(at, 2);
          putStream(at, 2, below(2) == 0 ? (verInstance ^ 0x000F) : interesting(verInstance, 2));
        } else {
          putStream(at + 2, 2, below(3) == 0 ? interesting(readStream(at + 2, 2), 2) : types[below(std::size(types))]);
        }
        break;
      }
      case kDrawingLength: {
        const std::uint64_t at = l.drawingHeaders[below(l.drawingHeaders.size())] + 4;
        const std::uint32_t length = readStream(at, 4);
        std::uint32_t value;
        switch (below(3)) {
          case 0: value = length + 6 * (static_cast<std::uint32_t>(below(5)) + 1); break;  // the optimiser's damage
          case 1: value = length - 6 * (static_cast<std::uint32_t>(below(5)) + 1); break;
          default: value = interesting(length, 4); break;
        }
        putStream(at, 4, value);
        break;
      }
      case kTxoCount: {
        const std::uint64_t data = l.txoData[below(l.txoData.size())];
        const std::uint64_t at = data + (below(2) == 0 ? 10 : 12);  // cchText or cbRuns
        putStream(at, 2, interesting(readStream(at, 2), 2));
        break;
      }
      default: break;
    }
  }

  Bytes take() { return std::move(bytes_); }

 private:
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : std::uniform_int_distribution<std::uint64_t>(0, n - 1)(random_); }

  // Values that break assumptions: edges, off by one, the optimiser's 6.
  std::uint32_t interesting(std::uint32_t original, int width) {
    const std::uint32_t mask = width == 1 ? 0xFFu : width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
    static const std::uint32_t edges[] = {0, 1, 2, 6, 8, 0x7F, 0x80, 0xFF, 0x100, 0x1000, 0x7FFF, 0x8000, 0xFFFF,
                                          0x10000, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFAu, 0xFFFFFFFCu, 0xFFFFFFFDu,
                                          0xFFFFFFFEu, 0xFFFFFFFFu};
    switch (below(5)) {
      case 0: return edges[below(std::size(edges))] & mask;
      case 1: return (original + 1) & mask;
      case 2: return (original - 1) & mask;
      case 3: return (original ^ (1u << below(8 * width))) & mask;
      default: return static_cast<std::uint32_t>(random_()) & mask;
    }
  }

  std::uint32_t readFile(std::uint64_t at, int width) const {
    const platform::ByteReader r(bytes_.data(), bytes_.size());
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i) {
      std::uint8_t b = 0;
      if (r.u8(at + i, b)) value |= std::uint32_t{b} << (8 * i);
    }
    return value;
  }
  void putFile(std::uint64_t at, int width, std::uint32_t value) {
    for (int i = 0; i < width; ++i) {
      if (at + i < bytes_.size()) bytes_[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }
  // Stream offsets go through the stream's sector map, byte by byte, since a
  // field may straddle two sectors.
  std::uint64_t fileOffset(std::uint64_t streamOffset) const {
    const Layout& l = seed_.layout;
    const std::uint64_t sector = streamOffset / l.unit;
    return sector < l.streamSectors.size() ? l.streamSectors[sector] + streamOffset % l.unit : bytes_.size();
  }
  std::uint32_t readStream(std::uint64_t at, int width) const {
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i) value |= readFile(fileOffset(at + i), 1) << (8 * i);
    return value;
  }
  void putStream(std::uint64_t at, int width, std::uint32_t value) {
    for (int i = 0; i < width; ++i) putFile(fileOffset(at + i), 1, value >> (8 * i));
  }

  const Seed& seed_;
  std::mt19937_64& random_;
  Bytes bytes_;
};

struct Variant {
  std::uint64_t number = 0;
  const Seed* seed = nullptr;
  std::string kinds;
  Bytes bytes;
};

Variant MakeVariant(const std::vector<Seed>& seeds, std::uint64_t sweepSeed, std::uint64_t number) {
  std::mt19937_64 random(sweepSeed * 0x9E3779B97F4A7C15ull + number);
  Variant v;
  v.number = number;
  v.seed = &seeds[number % seeds.size()];
  Mutator mutator(*v.seed, random);
  // One change mostly, sometimes two or three on top of each other.
  const int changes = random() % 4 == 0 ? 2 + static_cast<int>(random() % 2) : 1;
  for (int c = 0; c < changes; ++c) {
    Kind kind;
    do {
      kind = static_cast<Kind>(random() % kKinds);
    } while (!mutator.applicable(kind));
    mutator.apply(kind);
    v.kinds += (c ? "+" : "") + std::string(kKindNames[kind]);
  }
  v.bytes = mutator.take();
  return v;
}

// ---------------------------------------------------------------------------
// Seeds.

// A tagged workbook with a damaged charted sheet and text boxes, so that every
// targeted mutation finds its structure even without the real workbooks.
Bytes GeneratedWorkbook(int majorVersion) {
  ChartedWorkbookRecipe recipe;
  recipe.moved = {6, 6};
  recipe.chartCut = 40;
  TextBox box;
  box.characters = 300;
  box.maxRecordData = 200;
  recipe.textBoxes = {box, TextBox{}};
  WorkbookFileOptions file;
  file.majorVersion = majorVersion;
  file.tagProperty = u"TMTAG";
  return BuildChartedWorkbookFile(recipe, file);
}

std::vector<std::string> XlsFiles(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".xls") == 0) names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void AddSeed(std::vector<Seed>& seeds, const std::string& name, Bytes bytes) {
  Seed seed;
  seed.name = name;
  seed.bytes = std::move(bytes);
  seed.hasLayout = FindLayout(seed.bytes, seed.layout);
  seeds.push_back(std::move(seed));
}

std::vector<Seed> MakeSeeds(const std::string& corpus, const std::string& scratch) {
  std::vector<Seed> seeds;
  AddSeed(seeds, "generated-v3", GeneratedWorkbook(3));
  AddSeed(seeds, "generated-v4", GeneratedWorkbook(4));
  if (corpus.empty()) return seeds;
  for (const std::string& folder : {std::string(), std::string("malformed/")}) {
    for (const std::string& name : XlsFiles(corpus + "/" + folder)) {
      const Bytes raw = ReadFileBytes(corpus + "/" + folder + name);
      AddSeed(seeds, folder + name, raw);
      Bytes tagged;
      try {
        tagged = AddUserProperty(raw, u"TMTAG");
      } catch (...) {
        continue;  // not a compound file the builders can rewrite
      }
      AddSeed(seeds, folder + name + " tagged", tagged);
      const std::string path = scratch + "/damage.xls";
      WriteFileBytes(path, tagged);
      try {
        if (DamageSuspiciousSheets(path) > 0) AddSeed(seeds, folder + name + " tagged damaged", ReadFileBytes(path));
      } catch (...) {
        // a workbook the repair code cannot read has nothing to damage
      }
    }
  }
  return seeds;
}

// ---------------------------------------------------------------------------
// Runs.

struct Options {
  std::string bookmender;
  std::string corpus;
  std::string failures;
  std::uint64_t count = 10000;
  std::uint64_t seed = 1;
  unsigned timeout = 10;
  unsigned jobs = 1;
  long long only = -1;
};

struct Slot {
  std::string folder, file, tmp, errors;
  std::string tmpEnv;
  pid_t pid = -1;
  std::chrono::steady_clock::time_point started;
  Variant variant;
};

std::string Tail(const std::string& text, std::size_t lines) {
  std::size_t p = text.size();
  for (std::size_t n = 0; n <= lines && p > 0; ++n) p = text.rfind('\n', p - 1);
  return p == std::string::npos ? text : text.substr(p + 1);
}

// Empties a folder; true when it was empty already.
bool EmptyFolder(const std::string& folder) {
  DIR* d = opendir(folder.c_str());
  if (!d) return true;
  bool empty = true;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") {
      empty = false;
      ::unlink((folder + "/" + name).c_str());
    }
  }
  closedir(d);
  return empty;
}

void Start(Slot& slot, const Options& options) {
  WriteFileBytes(slot.file, slot.variant.bytes);
  slot.started = std::chrono::steady_clock::now();
  slot.pid = fork();
  if (slot.pid < 0) throw std::runtime_error("fork");
  if (slot.pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    const int errors = open(slot.errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, 0);
    dup2(null, 1);
    dup2(errors, 2);
    putenv(const_cast<char*>(slot.tmpEnv.c_str()));
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    alarm(options.timeout);  // survives exec: the time limit
    execl(options.bookmender.c_str(), options.bookmender.c_str(), "-check", slot.file.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
}

// What is wrong with a finished run, or "".
std::string Judge(const Slot& slot, int status) {
  std::string stderrText;
  try {
    const Bytes e = ReadFileBytes(slot.errors);
    stderrText.assign(e.begin(), e.end());
  } catch (const std::exception&) {
  }
  std::string problem;
  static const std::set<int> checkCodes = {0, 1, 2, 3, 4, 51, 52, 53, 54, 55};
  if (WIFSIGNALED(status)) {
    problem = WTERMSIG(status) == SIGALRM ? "time-out" : "killed by signal " + std::to_string(WTERMSIG(status));
  } else if (!checkCodes.count(WEXITSTATUS(status))) {
    problem = "exit code " + std::to_string(WEXITSTATUS(status)) + " is not one of the check mode's";
  }
  if (problem.empty() && (stderrText.find("Sanitizer") != std::string::npos ||
                          stderrText.find("runtime error:") != std::string::npos)) {
    problem = "sanitizer report";
  }
  if (problem.empty()) {
    Bytes now;
    try {
      now = ReadFileBytes(slot.file);
    } catch (const std::exception&) {
    }
    if (now != slot.variant.bytes) problem = "the file changed";
  }
  const bool tmpEmpty = EmptyFolder(slot.tmp);
  if (problem.empty() && !tmpEmpty) problem = "a temporary file was left behind";
  if (!problem.empty() && !stderrText.empty()) problem += "\n" + Tail(stderrText, 12);
  return problem;
}

int Usage() {
  std::cerr << "usage: mutation_sweep --bookmender PATH [--count N] [--seed S] [--timeout SECONDS] [--jobs N]\n"
               "                      [--corpus DIR] [--failures DIR] [--variant N]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.corpus = CorpusDir();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string v = argv[++i];
    if (a == "--bookmender") options.bookmender = v;
    else if (a == "--count") options.count = std::stoull(v);
    else if (a == "--seed") options.seed = std::stoull(v);
    else if (a == "--timeout") options.timeout = static_cast<unsigned>(std::stoul(v));
    else if (a == "--jobs") options.jobs = std::max(1u, static_cast<unsigned>(std::stoul(v)));
    else if (a == "--corpus") options.corpus = v;
    else if (a == "--failures") options.failures = v;
    else if (a == "--variant") options.only = std::stoll(v);
    else return Usage();
  }
  if (options.bookmender.empty()) return Usage();

  TempDir work;
  if (options.failures.empty()) options.failures = "mutation-failures";
  if (options.corpus.empty()) {
    std::cout << "mutation sweep: no real workbooks beside the repository (../shared/corpus); "
                 "generated seeds only\n";
  }
  const std::vector<Seed> seeds = MakeSeeds(options.corpus, work.path());
  std::size_t withLayout = 0;
  for (const Seed& s : seeds) withLayout += s.hasLayout;
  std::cout << "mutation sweep: " << seeds.size() << " seeds (" << withLayout
            << " with a readable Workbook stream), seed " << options.seed << ", time limit " << options.timeout
            << " s, " << options.jobs << " at a time\n";

  std::uint64_t first = 0, end = options.count;
  if (options.only >= 0) {
    first = static_cast<std::uint64_t>(options.only);
    end = first + 1;
    options.jobs = 1;
  }

  std::vector<Slot> slots(options.jobs);
  for (unsigned i = 0; i < options.jobs; ++i) {
    Slot& s = slots[i];
    s.folder = work.file("slot" + std::to_string(i));
    s.tmp = s.folder + "/tmp";
    s.file = s.folder + "/variant.xls";
    s.errors = s.folder + "/stderr.txt";
    s.tmpEnv = "TMPDIR=" + s.tmp;
    if (mkdir(s.folder.c_str(), 0755) != 0 || mkdir(s.tmp.c_str(), 0700) != 0) {
      std::cerr << "mutation sweep: cannot make " << s.folder << "\n";
      return 2;
    }
  }

  const auto started = std::chrono::steady_clock::now();
  std::map<std::string, std::uint64_t> byKind;
  std::map<int, std::uint64_t> byExit;
  std::uint64_t passed = 0, failed = 0, next = first, running = 0;
  double slowest = 0;
  std::uint64_t slowestVariant = 0;
  auto startNext = [&](Slot& slot) {
    if (next >= end) return;
    slot.variant = MakeVariant(seeds, options.seed, next++);
    Start(slot, options);
    ++running;
  };
  for (Slot& slot : slots) startNext(slot);
  while (running > 0) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("waitpid");
    }
    auto slot = std::find_if(slots.begin(), slots.end(), [&](const Slot& s) { return s.pid == pid; });
    if (slot == slots.end()) continue;
    --running;
    slot->pid = -1;
    const Variant& v = slot->variant;
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - slot->started).count();
    if (took > slowest) {
      slowest = took;
      slowestVariant = v.number;
    }
    ++byKind[v.kinds.substr(0, v.kinds.find('+'))];
    ++byExit[WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status)];
    const std::string problem = Judge(*slot, status);
    if (problem.empty() && options.only < 0) {
      ++passed;
    } else {
      if (problem.empty()) {
        ++passed;
      } else {
        ++failed;
      }
      mkdir(options.failures.c_str(), 0755);
      const std::string kept = options.failures + "/variant-" + std::to_string(v.number) + ".xls";
      WriteFileBytes(kept, v.bytes);
      std::cout << (problem.empty() ? "ok" : "FAIL") << " variant " << v.number << " of " << v.seed->name << " ("
                << v.kinds << "), kept as " << kept << (problem.empty() ? "" : ": " + problem) << "\n";
    }
    const std::uint64_t done = passed + failed;
    if (options.count >= 2000 && done % 1000 == 0) {
      std::cout << "mutation sweep: " << done << " of " << options.count << " done\n" << std::flush;
    }
    startNext(*slot);
  }

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << "mutation sweep: " << (passed + failed) << " variants in " << static_cast<long>(seconds) << " s\n";
  std::cout << "  first change:";
  for (const auto& [kind, n] : byKind) std::cout << " " << kind << " " << n;
  std::cout << "\n  exit codes:";
  for (const auto& [code, n] : byExit) std::cout << " " << code << ":" << n;
  std::cout << "\n  slowest: variant " << slowestVariant << ", " << slowest << " s\n";
  std::cout << passed << " passed, " << failed << " failed\n";
  return failed == 0 ? 0 : 1;
}
