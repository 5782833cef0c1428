// Whole texts through a Windows handle: the files' appends and the console's
// lines. Internal to the platform library.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace platform {

// Hands `text` to `write(data, count, put)`, one system call behind it that
// says in `put` how many elements it took, until every element is taken; at
// most 2^30 elements a call, so that the count fits its DWORD. False when a
// call fails or takes none.
template <typename Text, typename Write>
bool WriteAllOf(const Text& text, Write write) {
  constexpr std::size_t kMostPerCall = std::size_t{1} << 30;
  std::size_t done = 0;
  while (done < text.size()) {
    const std::size_t left = text.size() - done;
    DWORD put = 0;
    if (!write(text.data() + done, static_cast<DWORD>(left < kMostPerCall ? left : kMostPerCall), put) ||
        put == 0) {
      return false;
    }
    done += put;
  }
  return true;
}

// Writes every byte with WriteFile.
inline bool WriteAll(HANDLE handle, const std::string& bytes) {
  return WriteAllOf(bytes, [handle](const char* data, DWORD count, DWORD& put) {
    return ::WriteFile(handle, data, count, &put, nullptr) != 0;
  });
}

}  // namespace platform
