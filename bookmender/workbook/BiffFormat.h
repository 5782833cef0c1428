// BIFF8 record layout and the record types Bookmender recognises. Constants
// only; reading happens elsewhere.
#pragma once

#include <cstdint>

namespace bookmender::biff {

// Record header: type (2 bytes), data length (2 bytes), then the data.
inline constexpr std::uint32_t kHeaderSize = 4;

// Largest record data length accepted (8192 + 32).
inline constexpr std::uint16_t kMaxBiffRecordLength = 8224;

inline constexpr std::uint16_t kBof = 0x0809;
inline constexpr std::uint16_t kEof = 0x000A;
inline constexpr std::uint16_t kFilePass = 0x002F;
inline constexpr std::uint16_t kContinue = 0x003C;
inline constexpr std::uint16_t kObj = 0x005D;
inline constexpr std::uint16_t kMsoDrawing = 0x00EC;
inline constexpr std::uint16_t kTxo = 0x01B6;

// TXO data: cchText (text length in characters) and cbRuns (bytes of
// formatting runs) sit at these offsets.
inline constexpr std::uint32_t kTxoTextLengthOffset = 10;
inline constexpr std::uint32_t kTxoRunsLengthOffset = 12;

}  // namespace bookmender::biff
