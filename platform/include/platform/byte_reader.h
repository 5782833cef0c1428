// The one way binary structures are read: a bounds-checked little-endian view
// over a byte buffer. Offsets and lengths are 64-bit and every test is written
// so that it cannot overflow; a read that does not fit reports failure instead
// of touching memory outside the buffer. The reports cannot be ignored: a
// caller that knows a read fits says so by checking it all the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace platform {

class ByteReader {
 public:
  ByteReader() = default;
  ByteReader(const void* data, std::size_t size)
      : data_(static_cast<const std::uint8_t*>(data)), size_(size) {}

  std::size_t size() const { return size_; }
  const std::uint8_t* data() const { return data_; }

  // True when [offset, offset + length) lies inside the buffer.
  [[nodiscard]] bool fits(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  [[nodiscard]] bool u8(std::uint64_t offset, std::uint8_t& v) const {
    if (!fits(offset, 1)) return false;
    v = data_[offset];
    return true;
  }
  [[nodiscard]] bool u16(std::uint64_t offset, std::uint16_t& v) const {
    if (!fits(offset, 2)) return false;
    v = static_cast<std::uint16_t>(data_[offset] | (data_[offset + 1] << 8));
    return true;
  }
  [[nodiscard]] bool u32(std::uint64_t offset, std::uint32_t& v) const {
    if (!fits(offset, 4)) return false;
    v = static_cast<std::uint32_t>(data_[offset]) |
        (static_cast<std::uint32_t>(data_[offset + 1]) << 8) |
        (static_cast<std::uint32_t>(data_[offset + 2]) << 16) |
        (static_cast<std::uint32_t>(data_[offset + 3]) << 24);
    return true;
  }
  [[nodiscard]] bool u64(std::uint64_t offset, std::uint64_t& v) const {
    std::uint32_t lo = 0, hi = 0;
    if (!u32(offset, lo) || !u32(offset + 4, hi)) return false;
    v = (static_cast<std::uint64_t>(hi) << 32) | lo;
    return true;
  }
  [[nodiscard]] bool bytes(std::uint64_t offset, void* out, std::uint64_t length) const {
    if (!fits(offset, length)) return false;
    if (length != 0) std::memcpy(out, data_ + offset, static_cast<std::size_t>(length));
    return true;
  }
  // A sub-view; an empty reader when the range does not fit.
  [[nodiscard]] ByteReader sub(std::uint64_t offset, std::uint64_t length) const {
    if (!fits(offset, length)) return ByteReader();
    return ByteReader(data_ + offset, static_cast<std::size_t>(length));
  }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Little-endian stores into a caller's buffer of known size (writers' side).
inline void StoreU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void StoreU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t LoadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t LoadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace platform
