// Office drawing record layout: the 8-byte record header, the container
// rule and the record types this system names. Layout only; no I/O.
#pragma once

#include <cstdint>

#include "platform/byte_reader.h"

namespace bookmender {

namespace drawing {

// verInstance (2), type (2), length (4), little-endian.
inline constexpr std::uint32_t kHeaderSize = 8;

inline constexpr std::uint16_t kVersionMask = 0x000F;
inline constexpr std::uint16_t kContainerVersion = 0x000F;
inline constexpr std::uint16_t kFirstContainerType = 0xF000;

inline constexpr std::uint16_t kDgContainer = 0xF002;
inline constexpr std::uint16_t kSpgrContainer = 0xF003;
inline constexpr std::uint16_t kSpContainer = 0xF004;

// Atoms seen in sheet and chart drawings (named for tests and builders).
inline constexpr std::uint16_t kFdg = 0xF008;
inline constexpr std::uint16_t kFspgr = 0xF009;
inline constexpr std::uint16_t kFsp = 0xF00A;
inline constexpr std::uint16_t kFopt = 0xF00B;
inline constexpr std::uint16_t kClientTextbox = 0xF00D;
inline constexpr std::uint16_t kClientAnchor = 0xF010;
inline constexpr std::uint16_t kClientData = 0xF011;

// A DgContainer header exactly as a chart's drawing must begin: version 0xF,
// instance 0.
inline constexpr std::uint16_t kDgContainerVerInstance = 0x000F;

}  // namespace drawing

struct OfficeDrawingRecordHeader {
  std::uint16_t verInstance = 0;
  std::uint16_t type = 0;
  std::uint32_t length = 0;

  // Version 0xF and a type of 0xF000 or above; everything else is an atom
  // whose data is opaque.
  bool isContainer() const {
    return (verInstance & drawing::kVersionMask) == drawing::kContainerVersion &&
           type >= drawing::kFirstContainerType;
  }

  static OfficeDrawingRecordHeader decode(const std::uint8_t (&bytes)[drawing::kHeaderSize]) {
    OfficeDrawingRecordHeader header;
    header.verInstance = platform::LoadU16(bytes);
    header.type = platform::LoadU16(bytes + 2);
    header.length = platform::LoadU32(bytes + 4);
    return header;
  }

  void encode(std::uint8_t (&bytes)[drawing::kHeaderSize]) const {
    platform::StoreU16(bytes, verInstance);
    platform::StoreU16(bytes + 2, type);
    platform::StoreU32(bytes + 4, length);
  }
};

}  // namespace bookmender
