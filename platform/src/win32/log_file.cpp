// Logs on Windows: one handle for the whole run, opened with
// FILE_FLAG_OPEN_REPARSE_POINT so that a link is opened as itself and then
// refused by its attributes, and a byte-range lock over the whole file while
// one piece is written, which Windows keeps against every other handle. The
// handle shares reading and writing (a second scan of the same second, a
// reader) but not deleting: while it is open, the name cannot be given to
// another file. Owners are not looked at: on Windows the folder's access
// control decides who may put a file there. A new log gets an access list of
// its own (private_access.h): other users cannot open it, nor hold it locked.
#include <windows.h>

#include <thread>

#include "handle_io.h"
#include "platform/log_file.h"
#include "private_access.h"

namespace platform {

namespace {

bool Fail(LogError& error, LogFault fault, Win32Error code = kErrorSuccess) {
  error.fault = fault;
  error.code = code;
  return false;
}

bool Busy(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION; }

// Short sleeps, growing from 1 ms to 20 ms, until a deadline.
class Patience {
 public:
  explicit Patience(std::chrono::milliseconds wait) : deadline_(std::chrono::steady_clock::now() + wait) {}
  // Sleeps once; false when the deadline has passed.
  bool pause() {
    if (std::chrono::steady_clock::now() >= deadline_) return false;
    std::this_thread::sleep_for(pause_);
    if (pause_ < std::chrono::milliseconds(20)) pause_ *= 2;
    return true;
  }

 private:
  std::chrono::steady_clock::time_point deadline_;
  std::chrono::milliseconds pause_{1};
};

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

bool LogFile::isOpen() const { return AsHandle(handle_) != INVALID_HANDLE_VALUE; }

void LogFile::close() {
  if (isOpen()) ::CloseHandle(AsHandle(handle_));
  handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
  path_.clear();
}

bool LogFile::open(const std::wstring& path, LogUse use, const std::string& header, std::chrono::milliseconds wait,
                   LogError& error) {
  close();
  error = LogError();
  // Lines are written at the end found under the lock and cut back with
  // SetEndOfFile, which both need FILE_WRITE_DATA; children's output is
  // append-only, so that each of their writes lands at the end.
  // A file only read back is opened for reading alone, and never made.
  const DWORD access = use == LogUse::kLines ? FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA |
                                                   FILE_READ_ATTRIBUTES | SYNCHRONIZE
                       : use == LogUse::kReadOnly ? FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE
                                                  : FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  const DWORD disposition = use == LogUse::kReadOnly ? OPEN_EXISTING : OPEN_ALWAYS;
  // A log made here is the user's alone (with the system's and the
  // administrators'), wherever it is made; one that exists keeps its list.
  PrivateAccess privateAccess(false);
  if (!privateAccess.attributes()) return Fail(error, LogFault::kSystem, privateAccess.error());
  Patience patience(wait);
  Handle file;
  for (;;) {
    file = Handle(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, privateAccess.attributes(),
                                disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.valid()) break;
    const DWORD e = ::GetLastError();
    if (!Busy(e)) return Fail(error, LogFault::kSystem, e);
    if (!patience.pause()) return Fail(error, LogFault::kHeld);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file.get(), &info)) return Fail(error, LogFault::kSystem, ::GetLastError());
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Fail(error, LogFault::kLink);
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || ::GetFileType(file.get()) != FILE_TYPE_DISK) {
    return Fail(error, LogFault::kNotRegular);
  }
  if (info.nNumberOfLinks != 1) return Fail(error, LogFault::kManyNames);

  return adopt(reinterpret_cast<std::intptr_t>(file.release()), path, use, header, wait, error);
}

bool LogFile::readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done,
                     LogError& error) const {
  error = LogError();
  done = 0;
  if (!isOpen()) return Fail(error, LogFault::kSystem, kErrorInvalidParameter);
  const HRESULT hr = ReadAtHandle(AsHandle(handle_), offset, buffer, count, done);
  return !Failed(hr) || Fail(error, LogFault::kSystem, Win32ErrorFromHResult(hr));
}

bool LogFile::appendLocked(const std::string& bytes, LogError& error) {
  error = LogError();
  if (!isOpen()) return Fail(error, LogFault::kSystem, kErrorInvalidParameter);
  const HANDLE handle = AsHandle(handle_);
  Patience patience(wait_);
  OVERLAPPED whole = At(0);
  bool locked = false;
  for (;;) {
    if (::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) {
      locked = true;
      break;
    }
    // A file system without byte-range locks still gets the bytes.
    if (!Busy(::GetLastError())) break;
    if (!patience.pause()) return Fail(error, LogFault::kHeld);
  }
  LARGE_INTEGER size;
  Win32Error e = ::GetFileSizeEx(handle, &size) ? kErrorSuccess : ::GetLastError();
  if (e == kErrorSuccess) {
    const std::uint64_t end = static_cast<std::uint64_t>(size.QuadPart);
    const std::string piece = end == 0 ? header_ + bytes : bytes;
    const HRESULT hr = WriteAtHandle(handle, end, piece.data(), piece.size());
    e = Failed(hr) ? Win32ErrorFromHResult(hr) : kErrorSuccess;
    if (e != kErrorSuccess) {
      // A full disk or a failing device: what went in is taken out again,
      // so that the log holds whole lines only.
      LARGE_INTEGER back;
      back.QuadPart = size.QuadPart;
      if (::SetFilePointerEx(handle, back, nullptr, FILE_BEGIN)) ::SetEndOfFile(handle);
    }
  }
  if (locked) {
    OVERLAPPED from = At(0);
    ::UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &from);
  }
  return e == kErrorSuccess || Fail(error, LogFault::kSystem, e);
}

}  // namespace platform
