#include "retag.h"

#include <fstream>
#include <iterator>
#include <map>
#include <memory>

#include "platform/compound_file.h"
#include "platform/text.h"
#include "workbook_file.h"

namespace testsupport {
namespace {

const std::u16string kDocSummaryName = u"\x05" u"DocumentSummaryInformation";

bool Fail(std::string* error, const std::string& what) {
  if (error) *error = what;
  return false;
}

bool SameNameIgnoringAsciiCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto up = [](char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c; };
    if (up(a[i]) != up(b[i])) return false;
  }
  return true;
}

// Reads as much of a stream as can be read. Real files carry damaged
// streams (a size of gigabytes over a short chain); their readable part is
// what a copy keeps, and the reading stops at the damage.
void ReadReadable(platform::Stream& stream, std::uint64_t size, Bytes& out) {
  out.clear();
  std::uint8_t chunk[1 << 16];
  while (out.size() < size) {
    std::uint32_t done = 0;
    const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(size - out.size(), sizeof chunk));
    const HRESULT hr = stream.read(chunk, want, done);
    out.insert(out.end(), chunk, chunk + done);
    if (platform::Failed(hr) || done == 0) return;
  }
}

// The tagged document summary stream for `existing` (empty: none yet).
bool TaggedDocSummary(const Bytes& existing, const Property& tag, Bytes& out, std::string* error) {
  DocSummaryStream doc;
  if (!existing.empty()) {
    if (!ParseDocSummaryStream(existing, doc)) return Fail(error, "unreadable DocumentSummaryInformation");
  } else {
    doc.hasUserSection = false;
  }
  doc.hasFirstSection = true;  // an empty one becomes a minimal set
  if (!doc.hasUserSection) {
    doc.hasUserSection = true;
    doc.codePage = 1200;
  }
  Property added = tag;
  added.id = 0;
  bool replaced = false;
  for (Property& p : doc.properties) {
    if (SameNameIgnoringAsciiCase(p.name, tag.name)) {
      added.id = p.id;
      p = added;
      replaced = true;
    }
  }
  if (!replaced) doc.properties.push_back(added);
  out = BuildDocSummaryStream(doc);
  return true;
}

}  // namespace

Property TagProperty(const std::u16string& name) { return LpstrProperty(name, "1"); }

bool RetagFile(const std::string& sourcePath, const std::string& targetPath, const Property& tag, std::string* error) {
  std::shared_ptr<platform::Storage> storage;
  HRESULT hr = platform::Storage::open(platform::DecodeNative(sourcePath), platform::StorageMode::kReadDenyWrite, storage);
  if (platform::Failed(hr)) return Fail(error, "cannot open " + sourcePath);

  CfbWriter writer(storage->sectorSize() == 4096 ? 4 : 3);
  std::map<std::uint32_t, int> handles;  // entry id -> writer handle
  bool tagged = false;
  for (const platform::EntryInfo& e : storage->entries()) {
    if (e.type == platform::EntryType::kRoot) {
      handles[e.id] = CfbWriter::kRoot;
      writer.setClsid(CfbWriter::kRoot, e.clsid);
      continue;
    }
    const auto parent = handles.find(e.parent);
    if (parent == handles.end()) return Fail(error, "entry without a parent");
    if (e.type == platform::EntryType::kStorage) {
      handles[e.id] = writer.addStorage(parent->second, e.name);
      writer.setClsid(handles[e.id], e.clsid);
      continue;
    }
    std::shared_ptr<platform::Stream> stream;
    Bytes data;
    if (platform::Failed(storage->openStreamEntry(e.id, stream))) return Fail(error, "unopenable stream");
    ReadReadable(*stream, e.size, data);
    if (e.parent == 0 && SameNameIgnoringAsciiCase(e.name, kDocSummaryName)) {
      Bytes taggedStream;
      if (!TaggedDocSummary(data, tag, taggedStream, error)) return false;
      data.swap(taggedStream);
      tagged = true;
    }
    handles[e.id] = writer.addStream(parent->second, e.name, std::move(data));
  }
  if (!tagged) {
    Bytes stream;
    if (!TaggedDocSummary({}, tag, stream, error)) return false;
    writer.addStream(CfbWriter::kRoot, kDocSummaryName, std::move(stream));
  }
  storage.reset();

  const Bytes out = writer.build();
  std::ofstream file(FsPath(targetPath), std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  file.close();
  if (!file) return Fail(error, "cannot write " + targetPath);
  return true;
}

bool Retag(const Bytes& compoundFile, const Property& tag, Bytes& out, std::string* error) {
  // Through files, as the compound-file layer reads them; the folder goes
  // with everything in it.
  TempDir dir;
  const std::string path = dir.file("retag.in");
  {
    std::ofstream file(FsPath(path), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(compoundFile.data()), static_cast<std::streamsize>(compoundFile.size()));
    if (!file.flush()) return Fail(error, "cannot create a temporary file");
  }
  const std::string target = dir.file("retag.out");
  const bool ok = RetagFile(path, target, tag, error);
  if (ok) {
    std::ifstream in(FsPath(target), std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return ok;
}

}  // namespace testsupport
