#include "property_set_writer.h"

#include <algorithm>

#include "platform/byte_reader.h"
#include "platform/compound_file.h"

namespace testsupport {

using namespace platform::cfb;

namespace {

constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::uint8_t ToCp1252(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<std::uint8_t>(c);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == c) return static_cast<std::uint8_t>(0x80 + i);
  return '?';
}

char16_t FromCp1252(std::uint8_t b) {
  return (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
}

void Add16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Add32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Pad4(Bytes& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}

// A set from its (id, value bytes with type) list: size, count, table, values.
Bytes BuildSet(const std::vector<std::pair<std::uint32_t, Bytes>>& values, std::vector<std::uint64_t>* offsets) {
  Bytes set(kSetPropertyTable + kSetPropertyEntrySize * values.size(), 0);
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::uint8_t* entry = set.data() + kSetPropertyTable + kSetPropertyEntrySize * i;
    platform::StoreU32(entry, values[i].first);
    platform::StoreU32(entry + kSetPropertyValueOffset, static_cast<std::uint32_t>(set.size()));
    if (offsets) offsets->push_back(set.size());
    set.insert(set.end(), values[i].second.begin(), values[i].second.end());
    Pad4(set);
  }
  platform::StoreU32(set.data() + kSetSize, static_cast<std::uint32_t>(set.size()));
  platform::StoreU32(set.data() + kSetPropertyCount, static_cast<std::uint32_t>(values.size()));
  return set;
}

Bytes CodePageValue(std::uint16_t codePage) {
  Bytes v;
  Add16(v, kVtI2);
  Add16(v, 0);
  Add16(v, codePage);
  return v;
}

}  // namespace

Property LpstrProperty(const std::u16string& name, const std::string& text) {
  Property p{name, kVtLpstr, {}};
  Add32(p.value, static_cast<std::uint32_t>(text.size() + 1));
  p.value.insert(p.value.end(), text.begin(), text.end());
  p.value.push_back(0);
  return p;
}

Property LpwstrProperty(const std::u16string& name, const std::u16string& text) {
  Property p{name, kVtLpwstr, {}};
  Add32(p.value, static_cast<std::uint32_t>(text.size() + 1));
  for (char16_t c : text) Add16(p.value, c);
  Add16(p.value, 0);
  return p;
}

Property I4Property(const std::u16string& name, std::int32_t value) {
  Property p{name, kVtI4, {}};
  Add32(p.value, static_cast<std::uint32_t>(value));
  return p;
}

Property BoolProperty(const std::u16string& name, bool value) {
  Property p{name, kVtBool, {}};
  Add16(p.value, value ? 0xFFFF : 0);
  return p;
}

Property EmptyProperty(const std::u16string& name) { return Property{name, kVtEmpty, {}}; }

Property FiletimeProperty(const std::u16string& name, std::uint64_t value) {
  Property p{name, kVtFiletime, {}};
  Add32(p.value, static_cast<std::uint32_t>(value));
  Add32(p.value, static_cast<std::uint32_t>(value >> 32));
  return p;
}

Bytes BuildDocSummaryStream(const DocSummaryStream& stream, DocSummaryLayout* layout) {
  DocSummaryLayout local;
  DocSummaryLayout& l = layout ? *layout : local;
  l = DocSummaryLayout();

  Bytes first;
  if (stream.hasFirstSection) {
    first = stream.firstSection;
    if (first.empty()) first = BuildSet({{kPidCodePage, CodePageValue(kCodePageWindows1252)}}, nullptr);
  }

  Bytes user;
  if (stream.hasUserSection) {
    const bool unicode = stream.codePage == kCodePageUnicode;
    std::vector<std::pair<std::uint32_t, Bytes>> values;
    Bytes dictionary;
    Add32(dictionary, static_cast<std::uint32_t>(stream.properties.size()));
    std::uint32_t nextId = 2;
    for (const Property& p : stream.properties) nextId = std::max(nextId, p.id + 1);
    std::vector<std::uint32_t> ids;
    for (const Property& p : stream.properties) {
      const std::uint32_t id = p.id != 0 ? p.id : nextId++;
      ids.push_back(id);
      Add32(dictionary, id);
      Add32(dictionary, static_cast<std::uint32_t>(p.name.size() + 1));
      for (char16_t c : p.name) {
        if (unicode)
          Add16(dictionary, c);
        else
          dictionary.push_back(ToCp1252(c));
      }
      if (unicode) {
        Add16(dictionary, 0);
        Pad4(dictionary);
      } else {
        dictionary.push_back(0);
      }
    }
    values.emplace_back(kPidDictionary, dictionary);
    values.emplace_back(kPidCodePage, CodePageValue(stream.codePage));
    if (stream.caseSensitive) {
      Bytes behavior;
      Add16(behavior, kVtUi4);
      Add16(behavior, 0);
      Add32(behavior, kBehaviorCaseSensitive);
      values.emplace_back(kPidBehavior, behavior);
    }
    for (std::size_t i = 0; i < stream.properties.size(); ++i) {
      Bytes v;
      Add16(v, stream.properties[i].type);
      Add16(v, 0);
      v.insert(v.end(), stream.properties[i].value.begin(), stream.properties[i].value.end());
      values.emplace_back(ids[i], std::move(v));
    }
    std::vector<std::uint64_t> offsets;
    user = BuildSet(values, &offsets);
    l.dictionaryOffset = offsets[0];
    l.valueOffsets.assign(offsets.begin() + (stream.caseSensitive ? 3 : 2), offsets.end());
  }

  Bytes out;
  Add16(out, kByteOrderMark);
  Add16(out, stream.caseSensitive ? kPsMaxVersion : 0);
  Add32(out, 0x00020006);  // system identifier
  out.resize(kPsSetCount, 0);  // and a zero class id
  const std::uint32_t sets = (stream.hasFirstSection ? 1 : 0) + (stream.hasUserSection ? 1 : 0);
  Add32(out, sets);
  l.setListOffset = out.size();
  std::uint64_t at = out.size() + kPsSetListEntrySize * sets;
  if (stream.hasFirstSection) {
    out.insert(out.end(), platform::kFmtidDocSummaryInformation.begin(), platform::kFmtidDocSummaryInformation.end());
    Add32(out, static_cast<std::uint32_t>(at));
    at += first.size();
  }
  if (stream.hasUserSection) {
    out.insert(out.end(), platform::kFmtidUserDefinedProperties.begin(), platform::kFmtidUserDefinedProperties.end());
    Add32(out, static_cast<std::uint32_t>(at));
    l.userSetOffset = at;
    l.dictionaryOffset += at;
    for (auto& o : l.valueOffsets) o += at;
  }
  out.insert(out.end(), first.begin(), first.end());
  out.insert(out.end(), user.begin(), user.end());
  return out;
}

std::vector<LooseDocSummary> LooseDocSummaryStreams(const std::vector<Property>& properties,
                                                    std::uint16_t codePage) {
  std::vector<LooseDocSummary> out;
  // `claim` turns the true size of the user section into the one stored.
  const auto add = [&](const std::string& what, const DocSummaryStream& doc,
                       std::uint32_t (*claim)(std::uint32_t)) {
    DocSummaryLayout layout;
    Bytes bytes = BuildDocSummaryStream(doc, &layout);
    std::uint8_t* size = bytes.data() + layout.userSetOffset;
    platform::StoreU32(size, claim(platform::LoadU32(size)));
    out.push_back({what, std::move(bytes)});
  };
  DocSummaryStream doc;
  doc.codePage = codePage;
  doc.properties = properties;
  doc.firstSection = {8, 0, 0, 0, 0, 0, 0, 0};
  const auto over = [](std::uint32_t size) { return size + 4; };
  add("empty first section, user size 4 past the stream", doc, over);
  for (char16_t i = u'1'; i <= u'9'; ++i) doc.properties.push_back(LpstrProperty(std::u16string(u"S") + i, "text"));
  add("nine strings after the dictionary, user size 4 past the stream", doc, over);
  doc.properties = properties;
  doc.hasFirstSection = false;
  add("user section alone, size 16", doc, [](std::uint32_t) { return std::uint32_t{16}; });
  add("user section alone", doc, [](std::uint32_t size) { return size; });
  return out;
}

bool ParseDocSummaryStream(const Bytes& bytes, DocSummaryStream& out) {
  out = DocSummaryStream();
  out.hasFirstSection = out.hasUserSection = false;
  const platform::ByteReader r(bytes.data(), bytes.size());
  std::uint16_t byteOrder = 0;
  std::uint32_t sets = 0;
  if (!r.u16(kPsByteOrder, byteOrder) || byteOrder != kByteOrderMark || !r.u32(kPsSetCount, sets)) return false;
  for (std::uint64_t i = 0; i < sets; ++i) {
    platform::FormatId id{};
    std::uint32_t offset = 0, size = 0;
    const std::uint64_t listed = kPsSetList + kPsSetListEntrySize * i;
    if (!r.bytes(listed, id.data(), id.size()) || !r.u32(listed + kPsSetListOffset, offset)) return false;
    if (!r.u32(offset, size) || !r.fits(offset, size)) return false;
    const platform::ByteReader set = r.sub(offset, size);
    if (id == platform::kFmtidDocSummaryInformation) {
      out.hasFirstSection = true;
      out.firstSection.assign(bytes.begin() + offset, bytes.begin() + offset + size);
      continue;
    }
    if (id != platform::kFmtidUserDefinedProperties) continue;
    out.hasUserSection = true;

    std::uint32_t count = 0;
    if (!set.u32(kSetPropertyCount, count) || !set.fits(kSetPropertyTable, kSetPropertyEntrySize * count))
      return false;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> table;  // (id, offset)
    for (std::uint64_t k = 0; k < count; ++k) {
      std::uint32_t pid = 0, at = 0;
      const std::uint64_t entry = kSetPropertyTable + kSetPropertyEntrySize * k;
      if (!set.u32(entry, pid) || !set.u32(entry + kSetPropertyValueOffset, at)) return false;
      table.emplace_back(pid, at);
    }
    out.codePage = kCodePageWindows1252;
    for (const auto& [pid, at] : table) {
      if (pid == kPidCodePage && !set.u16(at + kValueHeaderSize, out.codePage)) return false;
    }
    std::vector<std::pair<std::uint32_t, std::u16string>> names;
    for (const auto& [pid, at] : table) {
      if (pid != kPidDictionary) continue;
      std::uint32_t entries = 0;
      if (!set.u32(at, entries)) return false;
      std::uint64_t p = at + kDictionaryCountSize;
      for (std::uint32_t e = 0; e < entries; ++e) {
        std::uint32_t nameId = 0, chars = 0;
        if (!set.u32(p, nameId) || !set.u32(p + kDictionaryEntryLength, chars)) return false;
        p += kDictionaryEntryHeaderSize;
        const bool unicode = out.codePage == kCodePageUnicode;
        const std::uint64_t len = unicode ? 2ull * chars : chars;
        if (!set.fits(p, len)) return false;
        std::u16string name;
        for (std::uint64_t c = 0; c < chars; ++c) {
          char16_t ch;
          if (unicode) {
            std::uint16_t u = 0;
            if (!set.u16(p + 2 * c, u)) return false;
            ch = u;
          } else {
            std::uint8_t b = 0;
            if (!set.u8(p + c, b)) return false;
            ch = FromCp1252(b);
          }
          if (ch == 0) break;
          name.push_back(ch);
        }
        p += unicode ? (len + 3) / 4 * 4 : len;
        names.emplace_back(nameId, name);
      }
    }
    for (const auto& entry : table) {
      const std::uint32_t pid = entry.first, at = entry.second;
      if (pid == kPidDictionary || pid == kPidCodePage) continue;
      auto named = std::find_if(names.begin(), names.end(), [&](const auto& n) { return n.first == pid; });
      if (named == names.end()) continue;  // properties without a name are not user-defined ones
      std::uint64_t end = size;
      for (const auto& other : table)
        if (other.second > at && other.second < end) end = other.second;
      Property prop;
      prop.id = pid;
      prop.name = named->second;
      if (!set.u16(at, prop.type) || end < at + kValueHeaderSize) return false;
      prop.value.assign(bytes.begin() + offset + at + kValueHeaderSize, bytes.begin() + offset + end);
      out.properties.push_back(std::move(prop));
    }
  }
  return true;
}

}  // namespace testsupport
