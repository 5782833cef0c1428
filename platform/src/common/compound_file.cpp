// The storage of an open compound file: lookup of streams by name or entry
// number, the property sets, and the open itself. The loading is in
// cfb_container.cpp, the stream I/O in cfb_stream.cpp.
#include <new>
#include <vector>

#include "cfb_container.h"
#include "cfb_stream.h"
#include "file_handle.h"
#include "held_file_system.h"
#include "name_compare.h"
#include "platform/compound_file.h"
#include "platform/scratch_file.h"
#include "platform/text.h"
#include "property_set_reader.h"

namespace platform {
namespace {

class StorageImpl final : public Storage {
 public:
  explicit StorageImpl(std::shared_ptr<CompoundFile> file) : file_(std::move(file)) {}

  HRESULT openStream(const std::wstring& name, std::shared_ptr<Stream>& out) override {
    out.reset();
    try {
      const std::u16string wanted = ToUtf16(name);
      std::vector<bool> visited(file_->liveEntryCount(), false);
      visited[0] = true;  // the root
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
    std::vector<bool> visited(file_->liveEntryCount(), false);
    visited[0] = true;  // the root
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

  HRESULT listStatus() const override { return file_->listStatus(); }

  std::vector<ByteRange> writtenRanges() const override { return MergeRanges(file_->written()); }

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

  HRESULT openEntry(const DirEntry& e, std::shared_ptr<Stream>& out) { return OpenChainStream(file_, e, out); }

  std::shared_ptr<CompoundFile> file_;
};

// Loads the compound file on `handle`; the storage owns the handle.
HRESULT OpenOnHandle(std::unique_ptr<FileHandle> handle, bool writable, std::shared_ptr<Storage>& out) {
  auto file = std::make_shared<CompoundFile>(std::move(handle), writable);
  const HRESULT hr = file->load();
  if (Failed(hr)) return hr;
  out = std::make_shared<StorageImpl>(std::move(file));
  return S_OK;
}

}  // namespace

HRESULT Storage::open(const std::wstring& path, StorageMode mode, std::shared_ptr<Storage>& out) {
  out.reset();
  try {
    const bool writable = mode == StorageMode::kReadWriteExclusive;
    std::unique_ptr<FileHandle> handle;
    const HRESULT hr = OpenFileHandle(path, writable, handle);
    if (Failed(hr)) return hr;
    return OpenOnHandle(std::move(handle), writable, out);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT Storage::openHeld(std::shared_ptr<HeldFile> file, std::shared_ptr<Storage>& out) {
  out.reset();
  if (!file) return STG_E_INVALIDPOINTER;
  try {
    return OpenOnHandle(ReadHeldFile(std::move(file)), false, out);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

namespace {

// A scratch file read and written as a FileHandle; it keeps the file alive.
class ScratchReader final : public FileHandle {
 public:
  explicit ScratchReader(std::shared_ptr<ScratchFile> file) : file_(std::move(file)) {}
  std::uint64_t size() const override { return file_->file().size(); }
  HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) override {
    return file_->file().readAt(offset, buffer, count, done);
  }
  HRESULT writeAt(std::uint64_t offset, const void* buffer, std::size_t count) override {
    return file_->file().writeAt(offset, buffer, count);
  }

 private:
  std::shared_ptr<ScratchFile> file_;
};

}  // namespace

HRESULT Storage::openScratch(std::shared_ptr<ScratchFile> file, std::shared_ptr<Storage>& out) {
  out.reset();
  if (!file) return STG_E_INVALIDPOINTER;
  try {
    return OpenOnHandle(std::unique_ptr<FileHandle>(new ScratchReader(std::move(file))), true, out);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT Storage::openMemory(std::shared_ptr<std::vector<std::uint8_t>> bytes, StorageMode mode,
                            std::shared_ptr<Storage>& out) {
  out.reset();
  if (!bytes) return STG_E_INVALIDPOINTER;
  try {
    const bool writable = mode == StorageMode::kReadWriteExclusive;
    return OpenOnHandle(OpenMemoryFileHandle(std::move(bytes), writable), writable, out);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace platform
