// Property sets: the stream is read whole (it is small), its header, the
// chosen set's property table, code page and dictionary are checked at open;
// a value is cut out only when asked for. Every offset and count is tested
// against the bytes that are really there, so a malformed set fails with
// STG_E_INVALIDHEADER instead of reading outside it.
#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "name_compare.h"
#include "platform/byte_reader.h"
#include "platform/cfb_format.h"
#include "platform/text.h"
#include "property_set_reader.h"

namespace platform {
namespace {

using namespace cfb;

// Windows-1252 0x80..0x9F; the rest of the code page is Latin-1.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t FromCp1252(std::uint8_t b) {
  return (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
}

std::uint64_t AlignUp4(std::uint64_t v) { return (v + 3) & ~std::uint64_t{3}; }

// Bytes a value of `type` takes after its type field, when the type alone
// tells; -1 when the value carries its own length or is not parsed here.
int FixedValueSize(std::uint16_t type) {
  switch (type) {
    case kVtEmpty: case kVtNull: return 0;
    case kVtI1: case kVtUi1: return 1;
    case kVtI2: case kVtBool: case kVtUi2: return 2;
    case kVtI4: case kVtR4: case kVtError: case kVtUi4: case kVtInt: case kVtUint: return 4;
    case kVtR8: case kVtCy: case kVtDate: case kVtI8: case kVtUi8: case kVtFiletime: return 8;
    case kVtClsid: return 16;
    default: return -1;
  }
}

class PropertySetImpl final : public PropertySet {
 public:
  PropertySetImpl(std::shared_ptr<Stream> stream, std::vector<std::uint8_t> set, std::uint64_t declaredEnd,
                  std::vector<std::pair<std::uint32_t, std::uint32_t>> properties,
                  std::vector<std::pair<std::u16string, std::uint32_t>> dictionary, bool caseSensitive)
      : stream_(std::move(stream)),
        set_(std::move(set)),
        declaredEnd_(declaredEnd),
        properties_(std::move(properties)),
        dictionary_(std::move(dictionary)),
        caseSensitive_(caseSensitive) {}

  HRESULT stat() override { return S_OK; }

  HRESULT readByName(const std::wstring& name, PropertyValue& value) override {
    value.clear();
    try {
      const std::u16string wanted = ToUtf16(name);
      const auto named = std::find_if(dictionary_.begin(), dictionary_.end(), [&](const auto& entry) {
        return caseSensitive_ ? entry.first == wanted : NamesEqualIgnoringCase(entry.first, wanted);
      });
      if (named == dictionary_.end()) return S_FALSE;
      const auto prop = std::find_if(properties_.begin(), properties_.end(),
                                     [&](const auto& p) { return p.first == named->second; });
      if (prop == properties_.end()) return S_FALSE;
      return cutValue(prop->second, value);
    } catch (const std::bad_alloc&) {
      value.clear();
      return E_OUTOFMEMORY;
    }
  }

 private:
  HRESULT cutValue(std::uint32_t offset, PropertyValue& value) const {
    const ByteReader set(set_.data(), set_.size());
    std::uint16_t type = 0;
    if (!set.u16(offset, type)) return STG_E_INVALIDHEADER;
    const std::uint64_t start = std::uint64_t{offset} + kValueHeaderSize;
    std::uint64_t length = 0;
    const int fixed = FixedValueSize(type);
    if (fixed >= 0) {
      length = static_cast<std::uint64_t>(fixed);
    } else if (type == kVtBstr || type == kVtLpstr || type == kVtLpwstr) {
      std::uint32_t count = 0;
      if (!set.u32(start, count)) return STG_E_INVALIDHEADER;
      length = kStringLengthSize + std::uint64_t{count} * (type == kVtLpwstr ? 2 : 1);
    } else {
      // Not parsed: everything up to the next value or the end of the set
      // (of the stream, for a value the size field left out).
      std::uint64_t end = offset < declaredEnd_ ? declaredEnd_ : set_.size();
      for (const auto& p : properties_)
        if (p.second > offset && p.second < end) end = p.second;
      length = end > start ? end - start : 0;
    }
    if (!set.fits(start, length)) return STG_E_INVALIDHEADER;
    value.type = type;
    value.bytes.assign(set_.begin() + static_cast<std::ptrdiff_t>(start),
                       set_.begin() + static_cast<std::ptrdiff_t>(start + length));
    return S_OK;
  }

  std::shared_ptr<Stream> stream_;  // keeps the file open as long as the set lives
  std::vector<std::uint8_t> set_;  // from the set's start to the end of the stream
  std::uint64_t declaredEnd_;      // the size field, clamped to the stream
  std::vector<std::pair<std::uint32_t, std::uint32_t>> properties_;  // (id, offset in set)
  std::vector<std::pair<std::u16string, std::uint32_t>> dictionary_;  // (name, id)
  bool caseSensitive_;
};

HRESULT ReadWhole(Stream& stream, std::vector<std::uint8_t>& data) {
  std::uint64_t size = 0;
  HRESULT hr = stream.stat(size);
  if (Failed(hr)) return hr;
  if (size > kMaxPropertySetStream) return STG_E_INVALIDHEADER;
  hr = stream.seek(0, kSeekSet, nullptr);
  if (Failed(hr)) return hr;
  // In pieces: the memory follows the bytes the chain gives, not the size
  // the directory claims.
  constexpr std::uint64_t kPiece = 64 * 1024;
  data.clear();
  while (data.size() < size) {
    const std::size_t at = data.size();
    const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(kPiece, size - at));
    data.resize(at + want);
    std::uint32_t done = 0;
    hr = stream.read(data.data() + at, want, done);
    data.resize(at + done);
    if (Failed(hr)) return hr;
    if (done < want) break;
  }
  return S_OK;
}

// Parses the dictionary at `offset` of `set`.
HRESULT ParseDictionary(const ByteReader& set, std::uint32_t offset, bool unicode,
                        std::vector<std::pair<std::u16string, std::uint32_t>>& out) {
  std::uint32_t count = 0;
  if (!set.u32(offset, count)) return STG_E_INVALIDHEADER;
  std::uint64_t at = std::uint64_t{offset} + kDictionaryCountSize;
  // Each entry takes at least its id and length.
  if (!set.fits(at, std::uint64_t{count} * kDictionaryEntryHeaderSize)) return STG_E_INVALIDHEADER;
  out.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t id = 0, chars = 0;
    if (!set.u32(at, id) || !set.u32(at + kDictionaryEntryLength, chars)) return STG_E_INVALIDHEADER;
    at += kDictionaryEntryHeaderSize;
    const std::uint64_t bytes = std::uint64_t{chars} * (unicode ? 2 : 1);
    if (!set.fits(at, bytes)) return STG_E_INVALIDHEADER;
    std::u16string name;
    for (std::uint64_t k = 0; k < chars; ++k) {
      char16_t c = 0;
      if (unicode) {
        std::uint16_t u = 0;
        if (!set.u16(at + 2 * k, u)) return STG_E_INVALIDHEADER;
        c = static_cast<char16_t>(u);
      } else {
        std::uint8_t b = 0;
        if (!set.u8(at + k, b)) return STG_E_INVALIDHEADER;
        c = FromCp1252(b);
      }
      if (c == 0) break;
      name.push_back(c);
    }
    at += unicode ? AlignUp4(bytes) : bytes;
    out.emplace_back(std::move(name), id);
  }
  return S_OK;
}

// Opens the set `fmtid` of the property set stream `data`; the set keeps
// `stream` (none for one in memory) alive.
HRESULT OpenOnBytes(const std::vector<std::uint8_t>& data, const std::shared_ptr<Stream>& stream,
                    const FormatId& fmtid, std::shared_ptr<PropertySet>& out) {
  const ByteReader r(data.data(), data.size());

  std::uint16_t byteOrder = 0, version = 0;
  std::uint32_t sets = 0;
  if (!r.u16(kPsByteOrder, byteOrder) || !r.u16(kPsVersion, version) || !r.u32(kPsSetCount, sets))
    return STG_E_INVALIDHEADER;
  if (byteOrder != kByteOrderMark || version > kPsMaxVersion) return STG_E_INVALIDHEADER;
  if (!r.fits(kPsSetList, std::uint64_t{sets} * kPsSetListEntrySize)) return STG_E_INVALIDHEADER;

  bool found = false;
  std::uint32_t setOffset = 0;
  for (std::uint32_t i = 0; i < sets && !found; ++i) {
    FormatId id{};
    const std::uint64_t listed = kPsSetList + std::uint64_t{i} * kPsSetListEntrySize;
    if (!r.bytes(listed, id.data(), id.size())) return STG_E_INVALIDHEADER;
    if (id == fmtid) {
      if (!r.u32(listed + kPsSetListOffset, setOffset)) return STG_E_INVALIDHEADER;
      found = true;
    }
  }
  if (!found) return STG_E_FILENOTFOUND;

  // Writers get the set's size field wrong both ways, so the set is read as
  // far as the stream holds it: a size past the stream's end is clamped to
  // it, and one short of the properties listed does not cut them off.
  // Only what lies outside the stream is broken.
  std::uint32_t setSize = 0, count = 0;
  if (!r.u32(std::uint64_t{setOffset} + kSetSize, setSize) ||
      !r.u32(std::uint64_t{setOffset} + kSetPropertyCount, count))
    return STG_E_INVALIDHEADER;
  const std::uint64_t available = data.size() - setOffset;
  const ByteReader set = r.sub(setOffset, available);
  const std::uint64_t declaredEnd = std::min<std::uint64_t>(setSize, available);
  if (!set.fits(kSetPropertyTable, std::uint64_t{count} * kSetPropertyEntrySize)) return STG_E_INVALIDHEADER;

  std::vector<std::pair<std::uint32_t, std::uint32_t>> properties;
  properties.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t id = 0, offset = 0;
    const std::uint64_t entry = kSetPropertyTable + std::uint64_t{i} * kSetPropertyEntrySize;
    if (!set.u32(entry, id) || !set.u32(entry + kSetPropertyValueOffset, offset)) return STG_E_INVALIDHEADER;
    // Every value (and the dictionary's count) starts with 4 bytes.
    if (offset < kSetPropertyTable || !set.fits(offset, kValueHeaderSize)) return STG_E_INVALIDHEADER;
    properties.emplace_back(id, offset);
  }
  auto offsetOf = [&](std::uint32_t id, std::uint32_t& offset) {
    for (const auto& p : properties)
      if (p.first == id) {
        offset = p.second;
        return true;
      }
    return false;
  };

  std::uint16_t codePage = kCodePageWindows1252;
  std::uint32_t at = 0;
  if (offsetOf(kPidCodePage, at)) {
    std::uint16_t type = 0;
    if (!set.u16(at, type) || type != kVtI2 || !set.u16(std::uint64_t{at} + kValueHeaderSize, codePage))
      return STG_E_INVALIDHEADER;
  }
  bool caseSensitive = false;
  if (version >= 1 && offsetOf(kPidBehavior, at)) {
    std::uint16_t type = 0;
    std::uint32_t behavior = 0;
    if (set.u16(at, type) && type == kVtUi4 && set.u32(std::uint64_t{at} + kValueHeaderSize, behavior))
      caseSensitive = (behavior & kBehaviorCaseSensitive) != 0;
  }
  std::vector<std::pair<std::u16string, std::uint32_t>> dictionary;
  if (offsetOf(kPidDictionary, at)) {
    const HRESULT hr = ParseDictionary(set, at, codePage == kCodePageUnicode, dictionary);
    if (Failed(hr)) return hr;
  }

  std::vector<std::uint8_t> setBytes(data.begin() + setOffset, data.end());
  out = std::make_shared<PropertySetImpl>(stream, std::move(setBytes), declaredEnd, std::move(properties),
                                          std::move(dictionary), caseSensitive);
  return S_OK;
}

}  // namespace

HRESULT OpenPropertySetOnStream(const std::shared_ptr<Stream>& stream, const FormatId& fmtid,
                                std::shared_ptr<PropertySet>& out) {
  out.reset();
  try {
    std::vector<std::uint8_t> data;
    const HRESULT hr = ReadWhole(*stream, data);
    if (Failed(hr)) return hr;
    return OpenOnBytes(data, stream, fmtid, out);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT PropertySet::openMemory(std::vector<std::uint8_t> stream, const FormatId& fmtid,
                                std::shared_ptr<PropertySet>& out) {
  out.reset();
  if (stream.size() > kMaxPropertySetStream) return STG_E_INVALIDHEADER;
  try {
    return OpenOnBytes(stream, nullptr, fmtid, out);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace platform
