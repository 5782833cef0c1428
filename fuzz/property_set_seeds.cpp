// Seeds for fuzz_property_set: writes every property set stream (a name
// starting with "\x05") of the given compound files into FOLDER, one file each.
//   property_set_seeds FOLDER FILE...
#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "exercise_platform.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: property_set_seeds FOLDER FILE...\n";
    return 2;
  }
  const std::string folder = argv[1];
  int written = 0;
  for (int i = 2; i < argc; ++i) {
    std::shared_ptr<platform::Storage> storage;
    if (platform::Storage::open(platform::DecodeNative(argv[i]), platform::StorageMode::kReadDenyWrite, storage) !=
        S_OK)
      continue;
    for (const platform::EntryInfo& entry : storage->entries()) {
      std::shared_ptr<platform::Stream> stream;
      if (entry.name.empty() || entry.name[0] != u'\x05' || storage->openStreamEntry(entry.id, stream) != S_OK)
        continue;
      const std::vector<std::uint8_t> bytes = fuzzing::ReadAll(*stream);
      std::ofstream out(folder + "/seed-" + std::to_string(written++) + ".bin", std::ios::binary);
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      if (!out) {
        std::cerr << "property_set_seeds: cannot write into " << folder << "\n";
        return 1;
      }
    }
  }
  std::cout << "property_set_seeds: " << written << " property set streams\n";
  return 0;
}
