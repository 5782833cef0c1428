// Windows files for the compound-file layer: CreateFileW with the sharing of
// the two storage modes (readers let other readers in, a writer nobody),
// ReadFile/WriteFile at absolute offsets.
#include <windows.h>

#include "file_handle.h"

namespace platform {
namespace {

HRESULT ClassifyOpenError(DWORD error, bool writable) {
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
constexpr std::size_t kChunk = 1u << 30;

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

class WindowsFile final : public FileHandle {
 public:
  WindowsFile(HANDLE handle, std::uint64_t size) : handle_(handle), size_(size) {}
  ~WindowsFile() override { ::CloseHandle(handle_); }
  WindowsFile(const WindowsFile&) = delete;
  WindowsFile& operator=(const WindowsFile&) = delete;

  std::uint64_t size() const override { return size_; }

  HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) override {
    done = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (done < count) {
      const std::uint64_t at = offset + done;
      if (at > static_cast<std::uint64_t>(INT64_MAX)) break;
      OVERLAPPED position = At(at);
      const DWORD want = static_cast<DWORD>(count - done < kChunk ? count - done : kChunk);
      DWORD got = 0;
      if (!::ReadFile(handle_, out + done, want, &got, &position)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_HANDLE_EOF) break;
        return HResultFromSystemError(error);
      }
      if (got == 0) break;
      done += got;
    }
    return S_OK;
  }

  HRESULT writeAt(std::uint64_t offset, const void* buffer, std::size_t count) override {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
      const std::uint64_t at = offset + done;
      if (at > static_cast<std::uint64_t>(INT64_MAX)) return STG_E_WRITEFAULT;
      OVERLAPPED position = At(at);
      const DWORD want = static_cast<DWORD>(count - done < kChunk ? count - done : kChunk);
      DWORD put = 0;
      if (!::WriteFile(handle_, in + done, want, &put, &position)) {
        return HResultFromSystemError(::GetLastError());
      }
      if (put == 0) return STG_E_WRITEFAULT;
      done += put;
    }
    return S_OK;
  }

 private:
  HANDLE handle_;
  std::uint64_t size_;
};

}  // namespace

HRESULT OpenFileHandle(const std::wstring& path, bool writable, std::unique_ptr<FileHandle>& out) {
  out.reset();
  if (path.empty()) return STG_E_FILENOTFOUND;
  if (path.find(L'\0') != std::wstring::npos) return STG_E_INVALIDNAME;

  // STGM_SHARE_DENY_WRITE for readers, STGM_SHARE_EXCLUSIVE for the writer.
  const DWORD access = writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  const DWORD share = writable ? 0 : FILE_SHARE_READ;
  const HANDLE handle = ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return ClassifyOpenError(::GetLastError(), writable);

  // A device ("nul", "con") or a pipe exists but holds no compound file.
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    return STG_E_FILEALREADYEXISTS;
  }
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(handle, &size)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    return HResultFromSystemError(error);
  }
  out.reset(new WindowsFile(handle, static_cast<std::uint64_t>(size.QuadPart)));
  return S_OK;
}

}  // namespace platform
