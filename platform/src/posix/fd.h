// The POSIX side's file descriptors: an owner that closes, an open that is
// not cut short by a signal, a write of every byte, and the folder of a path.
// Internal to the platform library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

#include "platform/hresult.h"

namespace platform {

// Owns one descriptor (or none: -1) and closes it when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Hands the descriptor over without closing it.
  int release();
  // Closes now, returning close(2)'s result: the error a delayed write may
  // surface here. Closing no descriptor returns 0.
  int close();

 private:
  int fd_;
};

// open(2) with O_CLOEXEC added, again while a signal interrupts it: a child
// started meanwhile inherits nothing. -1 with errno on failure.
int OpenRetrying(const char* path, int flags, mode_t mode = 0);

// Takes O_NONBLOCK off again, once a file opened without blocking (so that a
// FIFO could not stall the open) is known to be a regular one. False with
// errno.
bool Blocking(int fd);

// Writes all `size` bytes, retrying short writes and interruptions. False
// with errno on failure (EIO when the system takes no byte without saying
// why).
bool WriteAll(int fd, const void* data, std::size_t size);
inline bool WriteAll(int fd, const std::string& bytes) { return WriteAll(fd, bytes.data(), bytes.size()); }
// The same with SIGPIPE held back on this thread and a pending one of this
// write taken away again: a reader that went away must not end this
// program. False with errno (EPIPE for that reader).
bool WriteWithoutPipeSignal(int fd, const std::string& bytes);

// Reads at `offset` until `count` bytes are in or the file ends; `done` says
// how many came. Offsets beyond what the system can address read as the end.
// False with errno on failure.
bool ReadAt(int fd, std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done);

// Writes all `size` bytes at `offset`, whatever the descriptor's position,
// retrying short writes and interruptions. False with errno on failure (EIO
// when the system takes no byte without saying why, EFBIG for an offset
// beyond what it can address).
bool WriteAllAt(int fd, std::uint64_t offset, const void* data, std::size_t size);

// FileHandle::dataAfter() for a descriptor, up to `size`, by seeking to
// data and holes; where the system cannot say, the rest is data.
void DataAfter(int fd, std::uint64_t size, std::uint64_t from, std::uint64_t& start, std::uint64_t& end);

// The folder part of `path`: "." when it has none, "/" for a name in the root
// folder.
std::string FolderOf(const std::string& path);

// The structured-storage code for a failed open of `path` (native bytes):
// STG_E_FILENOTFOUND, STG_E_PATHNOTFOUND, STG_E_INVALIDNAME,
// STG_E_ACCESSDENIED (also a folder, and a read-only file system for a
// writer), STG_E_SHAREVIOLATION, STG_E_FILEALREADYEXISTS (a socket or a
// device without a driver: no regular file), or the converted system error.
HRESULT ClassifyOpenError(int err, const std::string& path, bool writable);

}  // namespace platform
