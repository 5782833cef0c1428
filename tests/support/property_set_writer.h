// Builds (and parses back) "\x05DocumentSummaryInformation" streams for tests:
// an optional document summary section and an optional user-defined section
// with a dictionary of names.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/cfb_format.h"

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

// One user-defined property: its dictionary name and its stored value (the
// bytes after the type field and its padding; the writer pads to 4).
struct Property {
  std::u16string name;
  std::uint16_t type = platform::cfb::kVtEmpty;
  Bytes value;
  std::uint32_t id = 0;  // 0: the writer numbers it
};

Property LpstrProperty(const std::u16string& name, const std::string& text);  // code page bytes + NUL
Property LpwstrProperty(const std::u16string& name, const std::u16string& text);
Property I4Property(const std::u16string& name, std::int32_t value);
Property BoolProperty(const std::u16string& name, bool value);
Property EmptyProperty(const std::u16string& name);
Property FiletimeProperty(const std::u16string& name, std::uint64_t value);

struct DocSummaryStream {
  bool hasFirstSection = true;
  // The document summary set as stored (from its size field on); empty: a
  // minimal set holding only a code page.
  Bytes firstSection;
  bool hasUserSection = true;
  std::uint16_t codePage = platform::cfb::kCodePageUnicode;  // or 8-bit (Windows-1252) names
  std::vector<Property> properties;
  // Writes a version 1 stream whose behaviour property asks for names that
  // compare with regard to case.
  bool caseSensitive = false;
};

// Where the builder put the user-defined section (offsets in the stream).
struct DocSummaryLayout {
  std::uint64_t setListOffset = 0;   // first (format id, offset) pair
  std::uint64_t userSetOffset = 0;   // 0 when there is none
  std::uint64_t dictionaryOffset = 0;
  std::vector<std::uint64_t> valueOffsets;  // type field of each property, in order
};

Bytes BuildDocSummaryStream(const DocSummaryStream& stream, DocSummaryLayout* layout = nullptr);

// Streams as real writers left them, which other readers accept: the user
// section's size field overstating the stream by 4 (after an empty first
// section; with nine string properties after the given ones), understating
// the properties it lists (16, the section alone), and the section alone.
// Each holds `properties`.
struct LooseDocSummary {
  std::string what;
  Bytes stream;
};
std::vector<LooseDocSummary> LooseDocSummaryStreams(const std::vector<Property>& properties,
                                                    std::uint16_t codePage = platform::cfb::kCodePageUnicode);

// Parses a stream back (the user section's properties keep their ids and raw
// value bytes). False when it is not a readable property set stream.
bool ParseDocSummaryStream(const Bytes& bytes, DocSummaryStream& out);

}  // namespace testsupport
