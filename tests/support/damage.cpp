#include "damage.h"

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "biff_builder.h"
#include "platform/byte_reader.h"
#include "platform/compound_file.h"
#include "platform/text.h"

// Written from the file formats alone, with no code of the repair: a fault
// shared by the damage and the repair would otherwise undo itself in every
// round trip.

namespace testsupport {

namespace {

constexpr std::uint16_t kBof = 0x0809;
constexpr std::uint16_t kEof = 0x000A;
constexpr std::uint16_t kFilePass = 0x002F;
constexpr std::uint16_t kContinue = 0x003C;
constexpr std::uint16_t kObj = 0x005D;
constexpr std::uint16_t kMsoDrawing = 0x00EC;
constexpr std::uint16_t kTxo = 0x01B6;

constexpr std::uint16_t kDgContainer = 0xF002;
constexpr std::uint16_t kSpgrContainer = 0xF003;
constexpr std::uint32_t kDrawingHeader = 8;  // verInstance, type, length

// TXO data: the text's length in characters, then the formatting runs' in bytes.
constexpr std::uint32_t kTxoCharacters = 10;
constexpr std::uint32_t kTxoRunBytes = 12;

[[noreturn]] void Refuse(const std::string& why) { throw std::runtime_error("cannot damage: " + why); }

struct Record {
  std::uint16_t type = 0;
  std::uint16_t length = 0;
  std::uint32_t data = 0;  // stream offset of the first data byte
};

std::vector<Record> ReadRecords(const Bytes& stream) {
  const platform::ByteReader in(stream.data(), stream.size());
  std::vector<Record> records;
  std::uint64_t at = 0;
  // Fewer than 4 bytes left: padding after the last record.
  while (in.fits(at, 4)) {
    Record r;
    if (!in.u16(at, r.type) || !in.u16(at + 2, r.length)) Refuse("unreadable record header");
    if (!in.fits(at + 4, r.length)) Refuse("a record runs past the end of the stream");
    if (r.type == kFilePass) Refuse("the workbook is encrypted");
    r.data = static_cast<std::uint32_t>(at + 4);
    records.push_back(r);
    at += 4u + r.length;
  }
  return records;
}

// One substream, BOF to EOF: its own records and the substreams nested in it,
// in stream order.
struct Substream {
  struct Item {
    bool nested = false;
    std::size_t index = 0;  // record number, or the nested substream's place in the tree
  };
  std::size_t bof = 0;
  std::vector<Item> items;
};

class SubstreamTree {
 public:
  // Nesting is followed with a stack of its own, not by recursion: a broken
  // file may nest substreams many thousands deep.
  explicit SubstreamTree(const std::vector<Record>& records) {
    std::vector<std::size_t> open;  // the substreams entered and not yet closed
    for (std::size_t i = 0; i < records.size(); ++i) {
      const std::uint16_t type = records[i].type;
      if (type == kBof) {
        const std::size_t node = nodes_.size();
        nodes_.emplace_back();
        nodes_[node].bof = i;
        if (open.empty()) {
          topLevel_.push_back(node);
        } else {
          nodes_[open.back()].items.push_back({true, node});
        }
        open.push_back(node);
      } else if (type == kEof) {
        if (open.empty()) Refuse("an EOF outside any substream");
        open.pop_back();
      } else if (!open.empty()) {
        nodes_[open.back()].items.push_back({false, i});
      }
      // Records between top-level substreams (padding) belong to none.
    }
    if (!open.empty()) Refuse("a substream without its EOF");
  }

  const std::vector<std::size_t>& topLevel() const { return topLevel_; }
  const Substream& at(std::size_t index) const { return nodes_.at(index); }

 private:
  std::vector<Substream> nodes_;
  std::vector<std::size_t> topLevel_;
};

// How many of the CONTINUE records after the TXO at `txo` hold its text and
// formatting runs rather than drawing data: the text fragments (each led by a
// flag byte, bit 0 set for two bytes per character) until every character is
// stored, then the runs. A text box without text has none.
std::size_t TextBoxContinues(const Bytes& stream, const std::vector<Record>& records, std::size_t txo) {
  const platform::ByteReader in(stream.data(), stream.size());
  const Record& r = records[txo];
  std::uint16_t characters = 0, runBytes = 0;
  // Too short to say: the usual text record and runs record.
  if (r.length < kTxoRunBytes + 2) return 2;
  if (!in.u16(r.data + kTxoCharacters, characters) || !in.u16(r.data + kTxoRunBytes, runBytes)) {
    Refuse("unreadable TXO");
  }
  if (characters == 0) return 0;
  std::size_t owned = 0;
  std::uint32_t charactersLeft = characters;
  std::uint32_t runBytesLeft = runBytes;
  for (std::size_t i = txo + 1; i < records.size() && records[i].type == kContinue; ++i) {
    if (charactersLeft == 0 && runBytesLeft == 0) break;
    ++owned;
    const Record& c = records[i];
    if (charactersLeft > 0) {
      if (c.length == 0) continue;
      std::uint8_t flag = 0;
      if (!in.u8(c.data, flag)) Refuse("unreadable text fragment");
      const std::uint32_t stored = (c.length - 1u) / ((flag & 1) ? 2u : 1u);
      charactersLeft = stored >= charactersLeft ? 0 : charactersLeft - stored;
    } else {
      runBytesLeft = c.length >= runBytesLeft ? 0 : runBytesLeft - c.length;
    }
  }
  return owned;
}

// The Office drawing records of one substream's own level: the payloads of
// its MSODRAWING records and of the CONTINUE records that carry on after
// them (past OBJ records, and past a TXO with its own CONTINUE records),
// joined.
class Drawing {
 public:
  Drawing(const Bytes& stream, const std::vector<Record>& records, const Substream& substream) {
    bool carriesOn = false;
    std::size_t textContinues = 0;
    for (const Substream::Item& item : substream.items) {
      if (item.nested) continue;  // a nested substream's drawing is its own
      const Record& r = records[item.index];
      if (r.type == kMsoDrawing) {
        take(stream, r);
        carriesOn = true;
      } else if (r.type == kContinue) {
        if (textContinues > 0) {
          --textContinues;
        } else if (carriesOn) {
          take(stream, r);
        }
      } else if (r.type == kTxo) {
        textContinues = TextBoxContinues(stream, records, item.index);
      } else if (r.type != kObj) {
        carriesOn = false;
      }
    }
  }

  bool empty() const { return payloads_.empty(); }
  const Bytes& bytes() const { return bytes_; }

  // Workbook stream offset of the drawing byte at `offset`.
  std::uint32_t streamOffset(std::uint64_t offset) const {
    for (const Record& p : payloads_) {
      if (offset < p.length) return static_cast<std::uint32_t>(p.data + offset);
      offset -= p.length;
    }
    Refuse("a drawing header runs past the drawing data");
  }

 private:
  void take(const Bytes& stream, const Record& r) {
    payloads_.push_back(r);
    bytes_.insert(bytes_.end(), stream.begin() + r.data, stream.begin() + r.data + r.length);
  }

  std::vector<Record> payloads_;
  Bytes bytes_;
};

struct DrawingHeader {
  std::uint16_t verInstance = 0;
  std::uint16_t type = 0;
  std::uint32_t length = 0;
  bool isContainer(std::uint16_t wanted) const { return (verInstance & 0x000F) == 0x000F && type == wanted; }
};

DrawingHeader HeaderAt(const Bytes& drawing, std::uint64_t offset) {
  const platform::ByteReader in(drawing.data(), drawing.size());
  DrawingHeader h;
  if (!in.u16(offset, h.verInstance) || !in.u16(offset + 2, h.type) || !in.u32(offset + 4, h.length)) {
    Refuse("a drawing header runs past the drawing data");
  }
  return h;
}

// Drawing offsets of the DgContainer's header (0) and of its group's: the
// first SpgrContainer among the DgContainer's children (the drawing atom
// comes before it).
std::vector<std::uint64_t> ContainersToMove(const Drawing& drawing) {
  const Bytes& bytes = drawing.bytes();
  const DrawingHeader dg = HeaderAt(bytes, 0);
  if (!dg.isContainer(kDgContainer)) Refuse("the drawing does not begin with a DgContainer");
  const std::uint64_t end = std::min<std::uint64_t>(kDrawingHeader + std::uint64_t{dg.length}, bytes.size());
  for (std::uint64_t at = kDrawingHeader; at + kDrawingHeader <= end;) {
    const DrawingHeader child = HeaderAt(bytes, at);
    if (child.isContainer(kSpgrContainer)) return {0, at};
    at += kDrawingHeader + std::uint64_t{child.length};
  }
  Refuse("a DgContainer without a group");
}

// The stream bytes to change, by stream offset.
using Patch = std::map<std::uint32_t, std::uint8_t>;

// Adds `delta` to the length field of the headers at `containers`.
void MoveBytes(const Drawing& drawing, const std::vector<std::uint64_t>& containers, std::int64_t delta,
               Patch& patch) {
  for (const std::uint64_t header : containers) {
    const std::uint32_t length = HeaderAt(drawing.bytes(), header).length;
    const auto moved = static_cast<std::uint32_t>(length + static_cast<std::uint64_t>(delta));
    for (std::uint32_t i = 0; i < 4; ++i) {
      patch[drawing.streamOffset(header + 4 + i)] = static_cast<std::uint8_t>(moved >> (8 * i));
    }
  }
}

// A sheet shows the damage pattern when a substream nested in it holds drawing
// records (after any substream nested deeper) and the sheet's next record,
// right after that substream's EOF, is one of the sheet's MSODRAWING records.
bool Suspicious(const std::vector<Record>& records, const SubstreamTree& tree, const Substream& sheet) {
  for (std::size_t i = 0; i + 1 < sheet.items.size(); ++i) {
    const Substream::Item& item = sheet.items[i];
    const Substream::Item& next = sheet.items[i + 1];
    if (!item.nested || next.nested || records[next.index].type != kMsoDrawing) continue;
    const Substream& chart = tree.at(item.index);
    bool drawn = false;
    for (const Substream::Item& inner : chart.items) {
      if (inner.nested) {
        drawn = false;
      } else if (records[inner.index].type == kMsoDrawing) {
        drawn = true;
      }
    }
    if (drawn) return true;
  }
  return false;
}

class WorkbookStreamFile {
 public:
  explicit WorkbookStreamFile(const std::string& path) {
    if (platform::Failed(platform::Storage::open(platform::DecodeNative(path),
                                                 platform::StorageMode::kReadWriteExclusive, storage_)) ||
        platform::Failed(storage_->openStream(L"Workbook", stream_))) {
      Refuse("no Workbook stream in " + path);
    }
  }

  Bytes read() {
    std::uint64_t size = 0;
    if (platform::Failed(stream_->stat(size)) || size > 0xFFFFFFFFu) Refuse("unreadable Workbook stream");
    Bytes bytes(static_cast<std::size_t>(size));
    std::uint32_t done = 0;
    if (platform::Failed(stream_->seek(0, platform::kSeekSet, nullptr)) ||
        (size > 0 && platform::Failed(stream_->read(bytes.data(), static_cast<std::uint32_t>(size), done))) ||
        done != size) {
      Refuse("unreadable Workbook stream");
    }
    return bytes;
  }

  void write(const Patch& patch) {
    for (const auto& [offset, byte] : patch) {
      std::uint32_t done = 0;
      if (platform::Failed(stream_->seek(offset, platform::kSeekSet, nullptr)) ||
          platform::Failed(stream_->write(&byte, 1, done)) || done != 1) {
        throw std::runtime_error("damage: writing the Workbook stream failed");
      }
    }
  }

 private:
  std::shared_ptr<platform::Storage> storage_;
  std::shared_ptr<platform::Stream> stream_;
};

}  // namespace

int DamageSuspiciousSheets(const std::string& path, std::uint32_t k) {
  WorkbookStreamFile file(path);
  const Bytes stream = file.read();
  const std::vector<Record> records = ReadRecords(stream);
  const SubstreamTree tree(records);

  // Everything is worked out before the first byte is written: a workbook
  // that cannot be damaged is left as it was.
  Patch patch;
  int damaged = 0;
  const std::vector<std::size_t>& top = tree.topLevel();
  for (std::size_t s = 1; s < top.size(); ++s) {  // the first substream holds the globals
    const Substream& sheet = tree.at(top[s]);
    if (!Suspicious(records, tree, sheet)) continue;
    std::int64_t total = 0;
    for (const Substream::Item& item : sheet.items) {
      if (!item.nested) continue;
      const Drawing chart(stream, records, tree.at(item.index));
      if (chart.empty()) continue;
      MoveBytes(chart, ContainersToMove(chart), 6 * std::int64_t{k}, patch);
      total += 6 * std::int64_t{k};
    }
    if (total == 0) continue;
    const Drawing own(stream, records, sheet);
    MoveBytes(own, ContainersToMove(own), -total, patch);
    ++damaged;
  }
  file.write(patch);
  return damaged;
}

}  // namespace testsupport
