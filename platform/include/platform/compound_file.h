// Compound files (OLE structured storage) and their property sets.
//
// Our own reader and in-place writer, the same on every system. It offers what
// the workbook code needs and answers with the structured-storage result codes
// (see hresult.h). Every operation is bounded and safe on any input: chain
// walks are limited, sector numbers range-checked, sizes checked against the
// chains and the file.
//
// Lifetime: Storage, Stream and PropertySet are held by std::shared_ptr
// (the counted references of the platform). A Stream or PropertySet keeps the
// underlying file open by itself, so they may be released in any order; the
// file (and its sharing lock) is closed when the last of them goes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/cfb_format.h"
#include "platform/hresult.h"

namespace platform {

// Sharing modes of an open compound file.
enum class StorageMode {
  // STGM_READ | STGM_SHARE_DENY_WRITE: others may read, nobody may write.
  kReadDenyWrite,
  // STGM_READWRITE | STGM_SHARE_EXCLUSIVE: nobody else may open the file.
  kReadWriteExclusive,
};

// Seek origins, numbered as STREAM_SEEK_SET/CUR/END.
inline constexpr std::uint32_t kSeekSet = 0;
inline constexpr std::uint32_t kSeekCur = 1;
inline constexpr std::uint32_t kSeekEnd = 2;

using FormatId = std::array<std::uint8_t, 16>;  // a GUID as stored on disk

// {D5CDD505-2E9C-101B-9397-08002B2CF9AE}: user-defined properties, the second
// set of the "\x05DocumentSummaryInformation" stream.
inline constexpr FormatId kFmtidUserDefinedProperties = {
    0x05, 0xD5, 0xCD, 0xD5, 0x9C, 0x2E, 0x1B, 0x10,
    0x93, 0x97, 0x08, 0x00, 0x2B, 0x2C, 0xF9, 0xAE};
// {D5CDD502-2E9C-101B-9397-08002B2CF9AE}: document summary information.
inline constexpr FormatId kFmtidDocSummaryInformation = {
    0x02, 0xD5, 0xCD, 0xD5, 0x9C, 0x2E, 0x1B, 0x10,
    0x93, 0x97, 0x08, 0x00, 0x2B, 0x2C, 0xF9, 0xAE};

class Stream;
class PropertySet;
class HeldFile;
class ScratchFile;

// A byte range of a file.
struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Directory entry types as stored.
enum class EntryType : std::uint8_t {
  kUnused = cfb::kTypeUnused,
  kStorage = cfb::kTypeStorage,
  kStream = cfb::kTypeStream,
  kRoot = cfb::kTypeRoot,
};

// One directory entry, for tools and tests that copy a whole compound file.
struct EntryInfo {
  std::uint32_t id = 0;          // directory entry number
  std::uint32_t parent = 0;      // entry number of the containing storage (root: itself)
  EntryType type = EntryType::kUnused;
  std::u16string name;           // as stored, without the terminating NUL
  std::uint64_t size = 0;        // stream size as the layer uses it
  std::array<std::uint8_t, 16> clsid{};
};

class Storage {
 public:
  virtual ~Storage() = default;

  // Opens the compound file at `path` (wide, unchanged from the caller).
  // Results: S_OK; STG_E_FILENOTFOUND, STG_E_PATHNOTFOUND, STG_E_INVALIDNAME
  // (missing file, missing folder, invalid name); STG_E_ACCESSDENIED;
  // STG_E_SHAREVIOLATION (another open holds a conflicting lock);
  // STG_E_FILEALREADYEXISTS (the file exists but is not a compound file);
  // STG_E_INVALIDHEADER / STG_E_DOCFILECORRUPT or a converted system error for
  // anything else. `out` is empty after a failure.
  static HRESULT open(const std::wstring& path, StorageMode mode, std::shared_ptr<Storage>& out);

  // Opens the compound file of a file held open (read-only, kReadDenyWrite):
  // it reads through that file and keeps it alive; the file's own locks are
  // the sharing. Results as for open() from STG_E_FILEALREADYEXISTS on.
  static HRESULT openHeld(std::shared_ptr<HeldFile> file, std::shared_ptr<Storage>& out);

  // Opens the compound file in a scratch file of this run's own, for
  // reading and writing (kReadWriteExclusive: nobody else can reach it, so
  // it takes no lock), and keeps the scratch file alive. Results as for
  // open() from STG_E_FILEALREADYEXISTS on.
  static HRESULT openScratch(std::shared_ptr<ScratchFile> file, std::shared_ptr<Storage>& out);

  // Opens a compound file held in memory, for tests and fuzzers. The storage
  // shares `bytes` and keeps it alive; the caller must not resize it
  // meanwhile. With kReadWriteExclusive stream writes land in `bytes` in
  // place (it never grows); with kReadDenyWrite they fail with
  // STG_E_ACCESSDENIED. There is no sharing lock. Results as for a file from
  // STG_E_FILEALREADYEXISTS on; STG_E_INVALIDPOINTER for no `bytes`.
  static HRESULT openMemory(std::shared_ptr<std::vector<std::uint8_t>> bytes, StorageMode mode,
                            std::shared_ptr<Storage>& out);

  // Opens the stream `name` in the root storage (names compare without regard
  // to letter case). STG_E_FILENOTFOUND when there is no such stream.
  virtual HRESULT openStream(const std::wstring& name, std::shared_ptr<Stream>& out) = 0;

  // Opens the property set `fmtid`: the set is looked for in the stream
  // "\x05DocumentSummaryInformation" for the user-defined and the document
  // summary sets, in "\x05SummaryInformation" otherwise. STG_E_FILENOTFOUND
  // when the stream or the set is missing; STG_E_INVALIDHEADER or
  // STG_E_DOCFILECORRUPT for a broken property set stream.
  virtual HRESULT openPropertySet(const FormatId& fmtid, std::shared_ptr<PropertySet>& out) = 0;

  // Every directory entry reachable from the root, parents before children.
  virtual std::vector<EntryInfo> entries() = 0;
  // Opens any stream entry by its entry number (read-only use).
  virtual HRESULT openStreamEntry(std::uint32_t id, std::shared_ptr<Stream>& out) = 0;

  // Sector size of the file (512 or 4096), for tests.
  virtual std::uint32_t sectorSize() const = 0;

  // S_OK, or STG_E_DOCFILECORRUPT when the file's list of FAT sectors names
  // a sector twice or one beyond the end of the file, or its DIFAT chain
  // loops or leaves the file before the list is complete. Such a file still
  // opens and its streams read as far as their chains go; a caller that must
  // trust the whole file refuses it.
  virtual HRESULT listStatus() const = 0;

  // The file ranges that stream writes have reached so far, sorted, merged
  // where they touch: all that a repair through this storage changed.
  virtual std::vector<ByteRange> writtenRanges() const = 0;
};

class Stream {
 public:
  virtual ~Stream() = default;
  // Size in bytes (IStream::Stat).
  virtual HRESULT stat(std::uint64_t& size) = 0;
  // Reads up to `count` bytes at the position; `done` is fewer only at the end.
  // A read that reaches a broken part of the sector chain fails.
  virtual HRESULT read(void* buffer, std::uint32_t count, std::uint32_t& done) = 0;
  // Writes at the position, straight through to the file. A stream never
  // grows: bytes beyond its size are not written and `done` counts the rest.
  // STG_E_ACCESSDENIED on a stream of a read-only storage.
  virtual HRESULT write(const void* buffer, std::uint32_t count, std::uint32_t& done) = 0;
  // Moves the position (origin kSeekSet, kSeekCur or kSeekEnd). A position
  // past the end is allowed, as with IStream; a negative one is
  // STG_E_INVALIDFUNCTION. `newPosition` may be null.
  virtual HRESULT seek(std::int64_t move, std::uint32_t origin, std::uint64_t* newPosition) = 0;
};

// The value of one property: only its existence matters to this system.
struct PropertyValue {
  std::uint16_t type = 0;           // VT_ type as stored
  std::vector<std::uint8_t> bytes;  // the stored value after the type field
  void clear() {                    // PropVariantClear
    type = 0;
    bytes.clear();
  }
};

class PropertySet {
 public:
  virtual ~PropertySet() = default;

  // Opens the set `fmtid` of a property set stream held in memory (the bytes
  // of a "\x05...SummaryInformation" stream), for tests and fuzzers. Results
  // as for Storage::openPropertySet once the stream is found.
  static HRESULT openMemory(std::vector<std::uint8_t> stream, const FormatId& fmtid,
                            std::shared_ptr<PropertySet>& out);

  // IPropertyStorage::Stat: S_OK for a set that opened.
  virtual HRESULT stat() = 0;
  // Looks a property up by name through the set's dictionary (without regard
  // to letter case). S_OK and the value when it exists; S_FALSE when it does
  // not; a failure code for a broken set.
  virtual HRESULT readByName(const std::wstring& name, PropertyValue& value) = 0;
};

}  // namespace platform
