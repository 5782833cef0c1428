// Reading a file or standard input on Windows.
#include <windows.h>

#include "platform/input_file.h"

namespace platform {

namespace {

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

void InputFile::close() {
  if (owned_ && handle_ != kNone) ::CloseHandle(AsHandle(handle_));
  handle_ = kNone;
  owned_ = false;
}

bool InputFile::open(const std::wstring& path, Win32Error& error) {
  close();
  // A folder does not open without FILE_FLAG_BACKUP_SEMANTICS: access denied.
  const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = ::GetLastError();
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  owned_ = true;
  return true;
}

bool InputFile::openStandardInput(Win32Error& error) {
  close();
  const HANDLE handle = ::GetStdHandle(STD_INPUT_HANDLE);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    error = kErrorInvalidHandle;
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  owned_ = false;
  return true;
}

bool InputFile::read(void* buffer, std::size_t size, std::size_t& done, Win32Error& error,
                     const std::function<bool()>& alsoStop) {
  done = 0;
  // A read that waits is not interrupted here: a reason to stop is looked
  // at before it.
  if (alsoStop && alsoStop()) return true;
  if (handle_ == kNone) {
    error = kErrorInvalidHandle;
    return false;
  }
  DWORD got = 0;
  const DWORD want = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
  if (!::ReadFile(AsHandle(handle_), buffer, want, &got, nullptr)) {
    const DWORD code = ::GetLastError();
    // The writer of a pipe has gone: that is the pipe's end.
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return true;
    error = code;
    return false;
  }
  done = got;
  return true;
}

}  // namespace platform
