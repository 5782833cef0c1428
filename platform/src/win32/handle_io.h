// Windows file handles for the compound-file layer's files and the held
// file: an owner that closes, the structured-storage code of a failed open,
// and reads and writes at absolute offsets, which move no file position.
// Internal to the platform library.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include <string>

#include "platform/hresult.h"

namespace platform {

// Owns one handle (or none) and closes it when it goes.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~Handle() { close(); }
  Handle(Handle&& other) noexcept : handle_(other.handle_) { other.handle_ = INVALID_HANDLE_VALUE; }
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = other.handle_;
      other.handle_ = INVALID_HANDLE_VALUE;
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Hands the handle over without closing it.
  HANDLE release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }
  // Closes now: false, with the system's error for GetLastError, when the
  // close fails. Closing no handle succeeds.
  bool close() {
    if (!valid()) return true;
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return ::CloseHandle(handle) != 0;
  }

 private:
  HANDLE handle_;
};

// The structured-storage code for a failed CreateFileW of a workbook.
inline HRESULT ClassifyOpenError(DWORD error, bool writable) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return STG_E_FILENOTFOUND;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE: return STG_E_PATHNOTFOUND;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE: return STG_E_INVALIDNAME;
    case ERROR_ACCESS_DENIED: return STG_E_ACCESSDENIED;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return STG_E_SHAREVIOLATION;
    case ERROR_WRITE_PROTECT:
      if (writable) return STG_E_ACCESSDENIED;
      break;
    default: break;
  }
  return HResultFromSystemError(error);
}

// ReadFile and WriteFile take 32-bit counts.
inline constexpr std::size_t kMostPerCall = std::size_t{1} << 30;

inline OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

// Reads up to `count` bytes at `offset`; `done` is fewer only at the end of
// the file. S_OK or the converted system error.
inline HRESULT ReadAtHandle(HANDLE handle, std::uint64_t offset, void* buffer, std::size_t count,
                            std::size_t& done) {
  done = 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (done < count) {
    const std::uint64_t at = offset + done;
    if (at > static_cast<std::uint64_t>(INT64_MAX)) break;
    OVERLAPPED position = At(at);
    const DWORD want = static_cast<DWORD>(count - done < kMostPerCall ? count - done : kMostPerCall);
    DWORD got = 0;
    if (!::ReadFile(handle, out + done, want, &got, &position)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF) break;
      return HResultFromSystemError(error);
    }
    if (got == 0) break;
    done += got;
  }
  return S_OK;
}

// Writes all `count` bytes at `offset`: S_OK, the converted system error, or
// STG_E_WRITEFAULT when the system takes no byte or the offset is out of
// reach.
inline HRESULT WriteAtHandle(HANDLE handle, std::uint64_t offset, const void* buffer, std::size_t count) {
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    const std::uint64_t at = offset + done;
    if (at > static_cast<std::uint64_t>(INT64_MAX)) return STG_E_WRITEFAULT;
    OVERLAPPED position = At(at);
    const DWORD want = static_cast<DWORD>(count - done < kMostPerCall ? count - done : kMostPerCall);
    DWORD put = 0;
    if (!::WriteFile(handle, in + done, want, &put, &position)) {
      return HResultFromSystemError(::GetLastError());
    }
    if (put == 0) return STG_E_WRITEFAULT;
    done += put;
  }
  return S_OK;
}

// A new file in the temporary folder named `prefix` and 16 random
// hexadecimal digits, opened for reading and writing, sharing nothing and
// deleted with its last handle: nobody else can open it, and it does not
// outlive the process. INVALID_HANDLE_VALUE with the system's error.
HANDLE CreatePrivateScratch(const wchar_t* prefix, Win32Error& error);

}  // namespace platform
