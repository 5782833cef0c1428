#include "held_file_restore.h"

#include <utility>

#include "handle_io.h"

namespace platform {
namespace {

// FILETIME counts 100 ns from 1601.
constexpr std::int64_t kFrom1601 = 116444736000000000;

std::int64_t Ns(const FILETIME& t) {
  const std::int64_t ticks =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  return (ticks - kFrom1601) * 100;
}

FILETIME Filetime(std::int64_t ns) {
  const auto ticks = static_cast<std::uint64_t>(ns / 100 + kFrom1601);
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(ticks);
  t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return t;
}

}  // namespace

Win32Error OpenSiblingNamed(const std::wstring& name, std::unique_ptr<FileHandle>& out, FileTimes& times) {
  Handle file(::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) {
    const DWORD e = ::GetLastError();
    return e == ERROR_PATH_NOT_FOUND ? kErrorFileNotFound : e;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file.get(), &info)) return ::GetLastError();
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      ::GetFileType(file.get()) != FILE_TYPE_DISK) {
    return kErrorCantResolveFilename;
  }
  times.accessNs = Ns(info.ftLastAccessTime);
  times.modifyNs = Ns(info.ftLastWriteTime);
  const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  out = ReaderOfOwnFile(std::move(file), size);
  return kErrorSuccess;
}

Win32Error StateOfHandle(HANDLE file, std::uint64_t& size, FileTimes& times) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file, &info)) return ::GetLastError();
  size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  times.accessNs = Ns(info.ftLastAccessTime);
  times.modifyNs = Ns(info.ftLastWriteTime);
  return kErrorSuccess;
}

Win32Error ResizeHandle(HANDLE file, std::uint64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return ::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) ? kErrorSuccess : ::GetLastError();
}

Win32Error SetTimesOfHandle(HANDLE file, const FileTimes& times) {
  const FILETIME access = Filetime(times.accessNs), modify = Filetime(times.modifyNs);
  return ::SetFileTime(file, nullptr, &access, &modify) ? kErrorSuccess : ::GetLastError();
}

}  // namespace platform
