// Builds Workbook streams record by record, for tests.
#pragma once

#include <cstdint>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

void AppendU16(Bytes& out, std::uint16_t v);
void AppendU32(Bytes& out, std::uint32_t v);

class BiffBuilder {
 public:
  // Appends one record; returns its record number.
  std::uint32_t record(std::uint16_t type, const Bytes& data = {});
  // A record whose length field says `declaredLength` but carries `data`.
  std::uint32_t recordWithLength(std::uint16_t type, std::uint16_t declaredLength, const Bytes& data);
  std::uint32_t bof(std::uint16_t substreamType = 0x0010);  // BIFF8 BOF, worksheet by default
  std::uint32_t eof();
  // Bytes that are not a record (a truncated header, padding).
  void raw(const Bytes& bytes);

  std::uint32_t recordCount() const { return count_; }
  // Stream offset of the data of record `index` (its header offset + 4).
  std::uint32_t dataOffset(std::uint32_t index) const { return offsets_.at(index) + 4; }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
  std::vector<std::uint32_t> offsets_;
  std::uint32_t count_ = 0;
};

}  // namespace testsupport
