// A file read once from its start to its end, or standard input: how
// Shelfscan reads its lists of files. One implementation per system
// (posix/input_file.cpp, win32/input_file.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/hresult.h"

namespace platform {

class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for reading (sharing it with every other reader and
  // writer). A folder cannot be read: kErrorAccessDenied, as Windows says.
  // False with the system error number.
  bool open(const std::wstring& path, Win32Error& error);
  // Reads this program's standard input instead, which stays open when the
  // object goes. kErrorInvalidHandle when there is none.
  bool openStandardInput(Win32Error& error);
  bool isOpen() const { return handle_ != kNone; }

  // Reads up to `size` bytes; `done` is 0 at the end. A pipe whose writers
  // have all gone is at its end. While nothing comes, a stop request
  // (platform/termination.h) also ends the wait with `done` 0, for the
  // caller to look at it, and so does `alsoStop` answering true (the
  // caller's own reason to stop, looked at as often). False with the system
  // error number.
  bool read(void* buffer, std::size_t size, std::size_t& done, Win32Error& error,
            const std::function<bool()>& alsoStop = nullptr);

 private:
  void close();

  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;  // a descriptor on Linux, a HANDLE on Windows
  bool owned_ = false;            // closed when the object goes
};

}  // namespace platform
