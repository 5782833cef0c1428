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
#include "platform/text.h"
#include "property_set_reader.h"

namespace platform {
namespace {

// Larger property set streams are refused, as the format advises.
constexpr std::uint64_t kMaxPropertySetStream = 2 * 1024 * 1024;

constexpr std::uint32_t kPidDictionary = 0;
constexpr std::uint32_t kPidCodePage = 1;
constexpr std::uint32_t kPidBehavior = 0x80000003u;
constexpr std::uint16_t kCodePageUnicode = 1200;

constexpr std::uint16_t VT_I2 = 2;
constexpr std::uint16_t VT_UI4 = 0x13;

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
    case 0:                                     // VT_EMPTY
    case 1: return 0;                           // VT_NULL
    case 16: case 17: return 1;                 // VT_I1, VT_UI1
    case 2: case 11: case 18: return 2;         // VT_I2, VT_BOOL, VT_UI2
    case 3: case 4: case 10: case 19:           // VT_I4, VT_R4, VT_ERROR, VT_UI4
    case 22: case 23: return 4;                 // VT_INT, VT_UINT
    case 5: case 6: case 7: case 20: case 21:   // VT_R8, VT_CY, VT_DATE, VT_I8, VT_UI8
    case 64: return 8;                          // VT_FILETIME
    case 72: return 16;                         // VT_CLSID
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
    const std::uint64_t start = std::uint64_t{offset} + 4;
    std::uint64_t length = 0;
    const int fixed = FixedValueSize(type);
    if (fixed >= 0) {
      length = static_cast<std::uint64_t>(fixed);
    } else if (type == 8 || type == 30 || type == 31) {  // VT_BSTR, VT_LPSTR, VT_LPWSTR
      std::uint32_t count = 0;
      if (!set.u32(start, count)) return STG_E_INVALIDHEADER;
      length = 4 + std::uint64_t{count} * (type == 31 ? 2 : 1);
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
  data.resize(static_cast<std::size_t>(size));
  hr = stream.seek(0, kSeekSet, nullptr);
  if (Failed(hr)) return hr;
  std::uint32_t done = 0;
  hr = stream.read(data.data(), static_cast<std::uint32_t>(size), done);
  if (Failed(hr)) return hr;
  data.resize(done);
  return S_OK;
}

// Parses the dictionary at `offset` of `set`.
HRESULT ParseDictionary(const ByteReader& set, std::uint32_t offset, bool unicode,
                        std::vector<std::pair<std::u16string, std::uint32_t>>& out) {
  std::uint32_t count = 0;
  if (!set.u32(offset, count)) return STG_E_INVALIDHEADER;
  std::uint64_t at = std::uint64_t{offset} + 4;
  // Each entry takes at least its id and length.
  if (!set.fits(at, std::uint64_t{count} * 8)) return STG_E_INVALIDHEADER;
  out.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t id = 0, chars = 0;
    if (!set.u32(at, id) || !set.u32(at + 4, chars)) return STG_E_INVALIDHEADER;
    at += 8;
    const std::uint64_t bytes = std::uint64_t{chars} * (unicode ? 2 : 1);
    if (!set.fits(at, bytes)) return STG_E_INVALIDHEADER;
    std::u16string name;
    for (std::uint64_t k = 0; k < chars; ++k) {
      char16_t c = 0;
      if (unicode) {
        std::uint16_t u = 0;
        set.u16(at + 2 * k, u);
        c = static_cast<char16_t>(u);
      } else {
        std::uint8_t b = 0;
        set.u8(at + k, b);
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

}  // namespace

HRESULT OpenPropertySetOnStream(const std::shared_ptr<Stream>& stream, const FormatId& fmtid,
                                std::shared_ptr<PropertySet>& out) {
  out.reset();
  try {
    std::vector<std::uint8_t> data;
    HRESULT hr = ReadWhole(*stream, data);
    if (Failed(hr)) return hr;
    const ByteReader r(data.data(), data.size());

    std::uint16_t byteOrder = 0, version = 0;
    std::uint32_t sets = 0;
    if (!r.u16(0, byteOrder) || !r.u16(2, version) || !r.u32(24, sets)) return STG_E_INVALIDHEADER;
    if (byteOrder != 0xFFFE || version > 1) return STG_E_INVALIDHEADER;
    if (!r.fits(28, std::uint64_t{sets} * 20)) return STG_E_INVALIDHEADER;

    bool found = false;
    std::uint32_t setOffset = 0;
    for (std::uint32_t i = 0; i < sets && !found; ++i) {
      FormatId id{};
      r.bytes(28 + std::uint64_t{i} * 20, id.data(), id.size());
      if (id == fmtid) {
        r.u32(28 + std::uint64_t{i} * 20 + 16, setOffset);
        found = true;
      }
    }
    if (!found) return STG_E_FILENOTFOUND;

    // Writers get the set's size field wrong both ways, so the set is read as
    // far as the stream holds it: a size past the stream's end is clamped to
    // it, and one short of the properties listed does not cut them off.
    // Only what lies outside the stream is broken.
    std::uint32_t setSize = 0, count = 0;
    if (!r.u32(setOffset, setSize) || !r.u32(std::uint64_t{setOffset} + 4, count)) return STG_E_INVALIDHEADER;
    const std::uint64_t available = data.size() - setOffset;
    const ByteReader set = r.sub(setOffset, available);
    const std::uint64_t declaredEnd = std::min<std::uint64_t>(setSize, available);
    if (!set.fits(8, std::uint64_t{count} * 8)) return STG_E_INVALIDHEADER;

    std::vector<std::pair<std::uint32_t, std::uint32_t>> properties;
    properties.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t id = 0, offset = 0;
      set.u32(8 + std::uint64_t{i} * 8, id);
      set.u32(12 + std::uint64_t{i} * 8, offset);
      // Every value (and the dictionary's count) starts with 4 bytes.
      if (offset < 8 || !set.fits(offset, 4)) return STG_E_INVALIDHEADER;
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

    std::uint16_t codePage = 1252;
    std::uint32_t at = 0;
    if (offsetOf(kPidCodePage, at)) {
      std::uint16_t type = 0;
      set.u16(at, type);
      if (type != VT_I2 || !set.u16(std::uint64_t{at} + 4, codePage)) return STG_E_INVALIDHEADER;
    }
    bool caseSensitive = false;
    if (version >= 1 && offsetOf(kPidBehavior, at)) {
      std::uint16_t type = 0;
      std::uint32_t behavior = 0;
      set.u16(at, type);
      if (type == VT_UI4 && set.u32(std::uint64_t{at} + 4, behavior)) caseSensitive = (behavior & 1) != 0;
    }
    std::vector<std::pair<std::u16string, std::uint32_t>> dictionary;
    if (offsetOf(kPidDictionary, at)) {
      hr = ParseDictionary(set, at, codePage == kCodePageUnicode, dictionary);
      if (Failed(hr)) return hr;
    }

    std::vector<std::uint8_t> setBytes(data.begin() + setOffset, data.end());
    out = std::make_shared<PropertySetImpl>(stream, std::move(setBytes), declaredEnd, std::move(properties),
                                            std::move(dictionary), caseSensitive);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace platform
