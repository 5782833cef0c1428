// The file under a compound file: opened with the sharing rules of the two
// storage modes, read and written at absolute offsets. One implementation per
// system (posix/file_handle.cpp, win32/file_handle.cpp), and one over bytes
// in memory for tests and fuzzing (common/memory_file_handle.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/hresult.h"

namespace platform {

class FileHandle {
 public:
  virtual ~FileHandle() = default;

  // Size of the file when it was opened. The layer never grows a file, and the
  // sharing lock keeps writers out, so it stays valid.
  virtual std::uint64_t size() const = 0;

  // Reads up to `count` bytes at `offset`; `done` is fewer only at the end of
  // the file. Failure is a system error converted to an HRESULT.
  virtual HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) = 0;

  // Writes all `count` bytes at `offset`, straight to the file.
  virtual HRESULT writeAt(std::uint64_t offset, const void* buffer, std::size_t count) = 0;

  // Where data may lie, for readers that need not read holes: `start` is the
  // first offset at or after `from` that is not inside a hole, `end` the
  // first hole after it (both the file's end where there is none). Only the
  // bytes of [from, start) are known to read as zeros. A file that does not
  // say where its holes are is data throughout.
  virtual void dataAfter(std::uint64_t from, std::uint64_t& start, std::uint64_t& end) {
    start = from;
    end = size();
    if (start > end) start = end;
  }
};

// Opens `path` for reading, or for reading and writing, and takes the sharing
// lock: readers exclude writers, a writer excludes everybody. The result is
// already the structured-storage code the caller reports:
// STG_E_FILENOTFOUND, STG_E_PATHNOTFOUND, STG_E_INVALIDNAME,
// STG_E_ACCESSDENIED (no permission, read-only file system for a writer, a
// folder), STG_E_SHAREVIOLATION (a conflicting lock), STG_E_FILEALREADYEXISTS
// (something that is not a regular file), or a converted system error.
HRESULT OpenFileHandle(const std::wstring& path, bool writable, std::unique_ptr<FileHandle>& out);

// A file held in `bytes`, shared with the caller: reads come from it, and
// when `writable` writes land in it in place. Its size is that of `bytes` at
// the call, and the caller must not resize `bytes` while the handle lives. It
// never grows: a write that does not lie wholly inside fails with
// STG_E_WRITEFAULT and changes nothing; any write to a handle that is not
// `writable` fails with STG_E_ACCESSDENIED. There is no sharing lock.
std::unique_ptr<FileHandle> OpenMemoryFileHandle(std::shared_ptr<std::vector<std::uint8_t>> bytes, bool writable);

}  // namespace platform
