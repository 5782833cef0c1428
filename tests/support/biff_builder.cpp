#include "biff_builder.h"

namespace testsupport {

void AppendU16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void AppendU32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t BiffBuilder::record(std::uint16_t type, const Bytes& data) {
  return recordWithLength(type, static_cast<std::uint16_t>(data.size()), data);
}

std::uint32_t BiffBuilder::recordWithLength(std::uint16_t type, std::uint16_t declaredLength,
                                            const Bytes& data) {
  offsets_.push_back(static_cast<std::uint32_t>(bytes_.size()));
  AppendU16(bytes_, type);
  AppendU16(bytes_, declaredLength);
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return count_++;
}

std::uint32_t BiffBuilder::bof(std::uint16_t substreamType) {
  Bytes data;
  AppendU16(data, 0x0600);  // BIFF8
  AppendU16(data, substreamType);
  AppendU16(data, 0x0DBB);  // build identifier
  AppendU16(data, 0x07CC);  // build year
  AppendU32(data, 0);
  AppendU32(data, 0x06);
  return record(0x0809, data);
}

std::uint32_t BiffBuilder::eof() { return record(0x000A); }

void BiffBuilder::raw(const Bytes& bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }

}  // namespace testsupport
