// SHA-256, for the digests a repair hands over as its proof and an undo
// checks before it writes anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

class Sha256 {
 public:
  Sha256();
  void update(const void* data, std::size_t size);
  std::string hexDigest();  // finishes; lower-case hexadecimal

 private:
  void block(const std::uint8_t* p);
  std::uint32_t h_[8];
  std::uint8_t buffer_[64];
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;
};

std::string Sha256Hex(const std::vector<std::uint8_t>& data);

}  // namespace platform
