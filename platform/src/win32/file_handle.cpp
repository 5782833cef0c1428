// Windows files for the compound-file layer: CreateFileW with the sharing of
// the two storage modes (readers let other readers in, a writer nobody),
// ReadFile/WriteFile at absolute offsets.
#include <windows.h>

#include "file_handle.h"
#include "handle_io.h"

namespace platform {
namespace {

class WindowsFile final : public FileHandle {
 public:
  WindowsFile(HANDLE handle, std::uint64_t size) : handle_(handle), size_(size) {}
  ~WindowsFile() override { ::CloseHandle(handle_); }
  WindowsFile(const WindowsFile&) = delete;
  WindowsFile& operator=(const WindowsFile&) = delete;

  std::uint64_t size() const override { return size_; }

  HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) override {
    return ReadAtHandle(handle_, offset, buffer, count, done);
  }

  HRESULT writeAt(std::uint64_t offset, const void* buffer, std::size_t count) override {
    return WriteAtHandle(handle_, offset, buffer, count);
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
