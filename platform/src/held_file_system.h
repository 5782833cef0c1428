// The system side of a held file (platform/held_file.h): one implementation
// per system (posix/held_file.cpp, win32/held_file.cpp). The order of the
// copy back and its checks are the same everywhere (common/held_file.cpp);
// this is what they stand on. Internal to the platform library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "file_handle.h"
#include "platform/beneath.h"
#include "platform/held_file.h"

namespace platform {

// Access and modification times, in nanoseconds since 1970 (UTC).
struct FileTimes {
  std::int64_t accessNs = 0;
  std::int64_t modifyNs = 0;
};

class HeldFileSystem {
 public:
  virtual ~HeldFileSystem() = default;

  // Size when opened.
  virtual std::uint64_t size() const = 0;
  // Reads of the held file at absolute offsets, as FileHandle::readAt.
  virtual HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) = 0;
  // As FileHandle::dataAfter, within the size when opened.
  virtual void dataAfter(std::uint64_t from, std::uint64_t& start, std::uint64_t& end) {
    start = std::min(from, size());
    end = size();
  }

  virtual bool copyTo(ScratchFile& target, Win32Error& error) = 0;
  // Starts backUp()'s copying and flushing in the background where the
  // system can; nothing where it cannot.
  virtual void startBackup() {}
  virtual bool backUp(const std::wstring& suffix, Win32Error& error) = 0;
  // The backup made by backUp(), read through the handle that made it; null
  // before.
  virtual FileHandle* backup() = 0;

  // kErrorSuccess when the file is open for writing, else why it is not.
  virtual Win32Error writeError() const = 0;
  // Takes the exclusive locks: kErrorSuccess, kErrorSharingViolation when
  // another program holds one, or another error.
  virtual Win32Error lockExclusive() = 0;
  // True while the name given at the open still leads to the held file.
  virtual bool nameLeadsHere() = 0;
  // True while size and modification time are those seen at the open.
  virtual bool unchangedSinceOpen() = 0;
  // Writes every byte at `offset`; kErrorSuccess or why not.
  virtual Win32Error writeAt(std::uint64_t offset, const void* data, std::size_t count) = 0;
  // Flushes the file's data to disk.
  virtual Win32Error flush() = 0;

  // The undo's steps (common/held_file_restore.cpp); a system without them
  // answers kErrorNotSupported.
  // Opens the file's own name plus `suffix` in the folder opened with the
  // file, for reading, never through a link: kErrorSuccess with its times;
  // kErrorFileNotFound when the name is free; kErrorCantResolveFilename
  // when it is a link or no regular file; or another error.
  virtual Win32Error openSibling(const std::wstring& suffix, std::unique_ptr<FileHandle>& out, FileTimes& times) {
    (void)suffix, (void)out, (void)times;
    return kErrorNotSupported;
  }
  // The file's size and times now.
  virtual Win32Error stateNow(std::uint64_t& size, FileTimes& times) {
    (void)size, (void)times;
    return kErrorNotSupported;
  }
  // Makes the file `size` bytes long.
  virtual Win32Error resize(std::uint64_t size) {
    (void)size;
    return kErrorNotSupported;
  }
  // Gives the file these access and modification times.
  virtual Win32Error setTimes(const FileTimes& times) {
    (void)times;
    return kErrorNotSupported;
  }
  // Whether another process holds the file open for writing, as far as this
  // process can see (Windows: the share mode already turned such openers
  // away).
  virtual bool openForWritingElsewhere() { return false; }
};

// `beneath` (may be null): see platform/beneath.h.
HRESULT OpenHeldFileSystem(const std::wstring& path, bool forWriting, const Beneath* beneath,
                           std::unique_ptr<HeldFileSystem>& out);

// A read-only FileHandle over a held file that keeps it alive.
std::unique_ptr<FileHandle> ReadHeldFile(std::shared_ptr<HeldFile> file);

// `ranges` sorted by offset, empty ones dropped, overlapping or touching
// ones merged.
std::vector<ByteRange> MergeRanges(std::vector<ByteRange> ranges);

}  // namespace platform
