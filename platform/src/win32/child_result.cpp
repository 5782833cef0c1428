// The result channel on Windows: an anonymous pipe whose write end is
// inheritable only while its one child starts (process.cpp).
#include <windows.h>

#include <algorithm>

#include "platform/child_result.h"

namespace platform {

namespace {

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

ResultPipe::~ResultPipe() {
  closeWriteEnd();
  if (AsHandle(read_) != INVALID_HANDLE_VALUE) ::CloseHandle(AsHandle(read_));
}

bool ResultPipe::create(std::size_t capacity, Win32Error& error) {
  HANDLE readEnd = INVALID_HANDLE_VALUE;
  HANDLE writeEnd = INVALID_HANDLE_VALUE;
  // Room for the whole record, so that the child's write never waits for a
  // reader: this process reads only once the child has ended.
  if (!::CreatePipe(&readEnd, &writeEnd, nullptr, static_cast<DWORD>(std::min<std::size_t>(capacity, 1 << 24)))) {
    error = ::GetLastError();
    return false;
  }
  read_ = reinterpret_cast<std::intptr_t>(readEnd);
  write_ = reinterpret_cast<std::intptr_t>(writeEnd);
  return true;
}

std::wstring ResultPipe::childName() const {
  return std::to_wstring(static_cast<unsigned long long>(static_cast<std::uintptr_t>(write_)));
}

void ResultPipe::closeWriteEnd() {
  if (AsHandle(write_) != INVALID_HANDLE_VALUE) ::CloseHandle(AsHandle(write_));
  write_ = -1;
}

bool ResultPipe::readWaiting(std::string& bytes, std::size_t most, Win32Error& error) const {
  bytes.clear();
  char buffer[16384];
  while (bytes.size() < most) {
    // Only what is there: a grandchild holding the write end must not keep
    // the read waiting.
    DWORD waiting = 0;
    if (!::PeekNamedPipe(AsHandle(read_), nullptr, 0, nullptr, &waiting, nullptr)) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_BROKEN_PIPE) return true;
      error = code;
      return false;
    }
    if (waiting == 0) return true;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>({sizeof buffer, most - bytes.size(), waiting}));
    DWORD got = 0;
    if (!::ReadFile(AsHandle(read_), buffer, want, &got, nullptr)) {
      error = ::GetLastError();
      return false;
    }
    bytes.append(buffer, got);
  }
  return true;
}

bool FindResultChannel(const std::wstring& name, std::intptr_t& channel) {
  if (name.empty() || name.size() > 10 || (name.size() > 1 && name[0] == L'0')) return false;
  unsigned long long value = 0;
  for (const wchar_t c : name) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<unsigned long long>(c - L'0');
  }
  if (value == 0 || value > 0xFFFFFFFFull) return false;
  const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
  if (::GetFileType(handle) != FILE_TYPE_PIPE) return false;
  channel = static_cast<std::intptr_t>(value);
  return true;
}

bool WriteResult(std::intptr_t channel, const std::string& record) {
  const HANDLE handle = AsHandle(channel);
  // The parent made the pipe large enough for the whole record.
  std::size_t done = 0;
  bool written = true;
  while (done < record.size()) {
    DWORD put = 0;
    if (!::WriteFile(handle, record.data() + done, static_cast<DWORD>(record.size() - done), &put, nullptr) ||
        put == 0) {
      written = false;
      break;
    }
    done += put;
  }
  return written;
}

bool WriteResultAndClose(std::intptr_t channel, const std::string& record) {
  const bool written = WriteResult(channel, record);
  ::CloseHandle(AsHandle(channel));
  return written;
}

}  // namespace platform
