// The compound-file and property-set layer on its own, over bytes in memory:
// everything the workbook code can ask of it. Shared by the fuzz targets and
// the regression test of the inputs they found.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/compound_file.h"
#include "platform/text.h"

namespace fuzzing {

// Names looked up in every property set that opens.
inline const std::vector<std::wstring>& PropertyNames() {
  static const std::vector<std::wstring> names = {L"TMTAG", L"TMTAG2", L"tmtag", L"", L"Caf\u00C9",
                                                  std::wstring(300, L'N')};
  return names;
}

inline void ExercisePropertySetOpen(const std::shared_ptr<platform::PropertySet>& set) {
  if (!set || platform::Failed(set->stat())) return;
  for (const std::wstring& name : PropertyNames()) {
    platform::PropertyValue value;
    set->readByName(name, value);  // any answer will do; a crash will not
  }
}

// Reads `stream` from the start to its end or a failure, in pieces of
// changing size, and returns what was read.
inline std::vector<std::uint8_t> ReadAll(platform::Stream& stream) {
  std::vector<std::uint8_t> out, piece(70000);
  if (platform::Failed(stream.seek(0, platform::kSeekSet, nullptr))) return out;
  static constexpr std::uint32_t kPieces[] = {1, 3, 4, 8, 512, 4096, 70000};
  for (std::size_t i = 0;; ++i) {
    std::uint32_t done = 0;
    const HRESULT hr = stream.read(piece.data(), kPieces[i % std::size(kPieces)], done);
    out.insert(out.end(), piece.begin(), piece.begin() + done);
    if (platform::Failed(hr) || done == 0) return out;
  }
}

// Opens the bytes as a compound file for reading and writing, reads every
// stream, looks streams up by name, opens the property sets, and writes what
// every stream read back in place. That write must leave every byte as it was.
inline void ExerciseCompoundFile(const std::uint8_t* data, std::size_t size) {
  const auto bytes = std::make_shared<std::vector<std::uint8_t>>(data, data + size);
  std::shared_ptr<platform::Storage> storage;
  if (platform::Storage::openMemory(bytes, platform::StorageMode::kReadWriteExclusive, storage) != S_OK) return;
  for (const platform::EntryInfo& entry : storage->entries()) {
    std::shared_ptr<platform::Stream> stream;
    if (entry.type == platform::EntryType::kStream) {
      std::shared_ptr<platform::Stream> byName;
      storage->openStream(platform::FromUtf16(entry.name), byName);
    }
    if (storage->openStreamEntry(entry.id, stream) != S_OK) continue;
    std::uint64_t streamSize = 0;
    if (platform::Failed(stream->stat(streamSize))) continue;
    const std::vector<std::uint8_t> content = ReadAll(*stream);
    if (content.size() > streamSize) std::abort();  // a stream never reads past its size
    if (stream->seek(0, platform::kSeekSet, nullptr) == S_OK && !content.empty()) {
      std::uint32_t done = 0;
      stream->write(content.data(), static_cast<std::uint32_t>(content.size()), done);
    }
  }
  for (const platform::FormatId& fmtid :
       {platform::kFmtidUserDefinedProperties, platform::kFmtidDocSummaryInformation, platform::FormatId{}}) {
    std::shared_ptr<platform::PropertySet> set;
    if (storage->openPropertySet(fmtid, set) == S_OK) ExercisePropertySetOpen(set);
  }
  // Writing back what was read changes nothing.
  if (!std::equal(bytes->begin(), bytes->end(), data, data + size)) std::abort();
}

// Parses the bytes as a property set stream and looks names up in both of
// its sets.
inline void ExercisePropertySet(const std::uint8_t* data, std::size_t size) {
  for (const platform::FormatId& fmtid : {platform::kFmtidUserDefinedProperties, platform::kFmtidDocSummaryInformation}) {
    std::shared_ptr<platform::PropertySet> set;
    if (platform::PropertySet::openMemory(std::vector<std::uint8_t>(data, data + size), fmtid, set) == S_OK)
      ExercisePropertySetOpen(set);
  }
}

}  // namespace fuzzing
