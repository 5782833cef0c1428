// On-disk layout of compound files and of the property set streams inside
// them: field offsets, sizes, special sector numbers and type codes. Layout
// only; no I/O. Shared by the reader and by the test builders, so that both
// speak of one layout.
#pragma once

#include <cstdint>

namespace platform::cfb {

// ---- The header: the first 512 bytes of the file -------------------------

inline constexpr std::uint32_t kHeaderSize = 512;

inline constexpr std::uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
inline constexpr std::uint32_t kSignatureSize = sizeof kSignature;

// Header fields (file offsets).
inline constexpr std::uint64_t kHdrSignature = 0x00;
inline constexpr std::uint64_t kHdrClsid = 0x08;  // 16 bytes, zero
inline constexpr std::uint64_t kHdrMinorVersion = 0x18;
inline constexpr std::uint64_t kHdrMajorVersion = 0x1A;
inline constexpr std::uint64_t kHdrByteOrder = 0x1C;
inline constexpr std::uint64_t kHdrSectorShift = 0x1E;
inline constexpr std::uint64_t kHdrMiniSectorShift = 0x20;
inline constexpr std::uint64_t kHdrDirSectorCount = 0x28;  // version 4 only; 0 in version 3
inline constexpr std::uint64_t kHdrFatSectorCount = 0x2C;
inline constexpr std::uint64_t kHdrFirstDirSector = 0x30;
inline constexpr std::uint64_t kHdrTransactionSignature = 0x34;
inline constexpr std::uint64_t kHdrMiniStreamCutoff = 0x38;
inline constexpr std::uint64_t kHdrFirstMiniFatSector = 0x3C;
inline constexpr std::uint64_t kHdrMiniFatSectorCount = 0x40;
inline constexpr std::uint64_t kHdrFirstDifatSector = 0x44;
inline constexpr std::uint64_t kHdrDifatSectorCount = 0x48;
inline constexpr std::uint64_t kHdrDifat = 0x4C;  // the first kHeaderDifatSlots FAT sector numbers

// FAT sector numbers held by the header itself; the rest are in DIFAT sectors,
// whose last slot links to the next DIFAT sector.
inline constexpr std::uint32_t kHeaderDifatSlots = 109;

inline constexpr std::uint16_t kByteOrderMark = 0xFFFE;  // also opens a property set stream
inline constexpr std::uint16_t kMinorVersion = 0x003E;
// Version 3 has 512-byte sectors, version 4 has 4096-byte ones.
inline constexpr std::uint16_t kMajorVersion3 = 3;
inline constexpr std::uint16_t kMajorVersion4 = 4;
inline constexpr std::uint16_t kSectorShift3 = 9;
inline constexpr std::uint16_t kSectorShift4 = 12;
inline constexpr std::uint32_t kSectorSize3 = 1u << kSectorShift3;
inline constexpr std::uint32_t kSectorSize4 = 1u << kSectorShift4;

// Streams shorter than the cutoff live in the mini stream, in 64-byte mini sectors.
inline constexpr std::uint16_t kMiniSectorShift = 6;
inline constexpr std::uint32_t kMiniSectorSize = 1u << kMiniSectorShift;
inline constexpr std::uint32_t kMiniStreamCutoff = 4096;

// FAT and DIFAT entries are sector numbers of 4 bytes.
inline constexpr std::uint32_t kSectorNumberSize = 4;

// ---- Special sector numbers ------------------------------------------------

inline constexpr std::uint32_t kMaxRegSect = 0xFFFFFFFAu;  // the last regular sector number
inline constexpr std::uint32_t kDifSect = 0xFFFFFFFCu;     // a DIFAT sector
inline constexpr std::uint32_t kFatSect = 0xFFFFFFFDu;     // a FAT sector
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFEu;
inline constexpr std::uint32_t kFreeSect = 0xFFFFFFFFu;
// No directory entry (a missing sibling or child).
inline constexpr std::uint32_t kNoStream = 0xFFFFFFFFu;

// ---- A directory entry: 128 bytes ----------------------------------------

inline constexpr std::uint64_t kDirEntrySize = 128;

// Fields (offsets inside an entry).
inline constexpr std::uint64_t kDirName = 0x00;  // UTF-16LE, NUL-terminated
inline constexpr std::uint64_t kDirNameLength = 0x40;  // in bytes, with the NUL
inline constexpr std::uint64_t kDirType = 0x42;
inline constexpr std::uint64_t kDirColor = 0x43;
inline constexpr std::uint64_t kDirLeft = 0x44;
inline constexpr std::uint64_t kDirRight = 0x48;
inline constexpr std::uint64_t kDirChild = 0x4C;
inline constexpr std::uint64_t kDirClsid = 0x50;  // 16 bytes
inline constexpr std::uint64_t kDirStateBits = 0x60;
inline constexpr std::uint64_t kDirCreationTime = 0x64;
inline constexpr std::uint64_t kDirModifiedTime = 0x6C;
inline constexpr std::uint64_t kDirStartSector = 0x74;
inline constexpr std::uint64_t kDirSize = 0x78;  // 8 bytes; version 3 uses the low 4

// The name field: 32 code units, the last of them the NUL.
inline constexpr std::uint32_t kDirNameBytes = 64;
inline constexpr std::uint32_t kDirNameUnits = kDirNameBytes / 2 - 1;

// Entry types as stored.
inline constexpr std::uint8_t kTypeUnused = 0;
inline constexpr std::uint8_t kTypeStorage = 1;
inline constexpr std::uint8_t kTypeStream = 2;
inline constexpr std::uint8_t kTypeRoot = 5;

inline constexpr std::uint8_t kColorRed = 0;
inline constexpr std::uint8_t kColorBlack = 1;

// ---- Property set streams ("\x05...SummaryInformation") -----------------

// Larger property set streams are refused, as the format advises.
inline constexpr std::uint64_t kMaxPropertySetStream = 2 * 1024 * 1024;

// The stream header (offsets in the stream).
inline constexpr std::uint64_t kPsByteOrder = 0;
inline constexpr std::uint64_t kPsVersion = 2;
inline constexpr std::uint64_t kPsSystemId = 4;
inline constexpr std::uint64_t kPsClsid = 8;  // 16 bytes
inline constexpr std::uint64_t kPsSetCount = 24;
inline constexpr std::uint64_t kPsSetList = 28;  // kPsSetCount (format id, offset) pairs
inline constexpr std::uint64_t kPsSetListEntrySize = 20;
inline constexpr std::uint64_t kPsSetListOffset = 16;  // the set's offset, after its format id
inline constexpr std::uint16_t kPsMaxVersion = 1;

// A set (offsets from its start): size, property count, then the
// (property id, value offset) table.
inline constexpr std::uint64_t kSetSize = 0;
inline constexpr std::uint64_t kSetPropertyCount = 4;
inline constexpr std::uint64_t kSetPropertyTable = 8;
inline constexpr std::uint64_t kSetPropertyEntrySize = 8;
inline constexpr std::uint64_t kSetPropertyValueOffset = 4;  // in a table entry, after the id

// A value: its type (2 bytes), 2 bytes of padding, then the value.
inline constexpr std::uint64_t kValueHeaderSize = 4;
// A string value (VT_LPSTR, VT_LPWSTR, VT_BSTR): its length, then the characters.
inline constexpr std::uint64_t kStringLengthSize = 4;
// The dictionary: an entry count, then per entry an id and a length in
// characters, the name (UTF-16 entries padded to 4 bytes).
inline constexpr std::uint64_t kDictionaryCountSize = 4;
inline constexpr std::uint64_t kDictionaryEntryHeaderSize = 8;
inline constexpr std::uint64_t kDictionaryEntryLength = 4;  // in an entry, after the id

// Property ids with a meaning of their own.
inline constexpr std::uint32_t kPidDictionary = 0;
inline constexpr std::uint32_t kPidCodePage = 1;
inline constexpr std::uint32_t kPidBehavior = 0x80000003u;
// Behaviour bit 0: names compare with regard to case.
inline constexpr std::uint32_t kBehaviorCaseSensitive = 1;

// Code pages: names in UTF-16, or in 8-bit Windows-1252 (also when none is given).
inline constexpr std::uint16_t kCodePageUnicode = 1200;
inline constexpr std::uint16_t kCodePageWindows1252 = 1252;

// Value types as stored.
inline constexpr std::uint16_t kVtEmpty = 0;
inline constexpr std::uint16_t kVtNull = 1;
inline constexpr std::uint16_t kVtI2 = 2;
inline constexpr std::uint16_t kVtI4 = 3;
inline constexpr std::uint16_t kVtR4 = 4;
inline constexpr std::uint16_t kVtR8 = 5;
inline constexpr std::uint16_t kVtCy = 6;
inline constexpr std::uint16_t kVtDate = 7;
inline constexpr std::uint16_t kVtBstr = 8;
inline constexpr std::uint16_t kVtError = 10;
inline constexpr std::uint16_t kVtBool = 11;
inline constexpr std::uint16_t kVtI1 = 16;
inline constexpr std::uint16_t kVtUi1 = 17;
inline constexpr std::uint16_t kVtUi2 = 18;
inline constexpr std::uint16_t kVtUi4 = 19;
inline constexpr std::uint16_t kVtI8 = 20;
inline constexpr std::uint16_t kVtUi8 = 21;
inline constexpr std::uint16_t kVtInt = 22;
inline constexpr std::uint16_t kVtUint = 23;
inline constexpr std::uint16_t kVtLpstr = 30;
inline constexpr std::uint16_t kVtLpwstr = 31;
inline constexpr std::uint16_t kVtFiletime = 64;
inline constexpr std::uint16_t kVtClsid = 72;

}  // namespace platform::cfb
