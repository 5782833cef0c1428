// The repaired copy's file: scratch work of one run that no other program
// may find, open, swap or outlive.
//
// It is reached only through the descriptor (handle) made with it, never by
// a name. Linux makes it with O_TMPFILE in the temporary folder, so it never
// has a name and goes with the process whatever ends it, SIGKILL included.
// Where the file system has no unnamed files, it is created exclusively
// under a name of 16 random hexadecimal digits with mode 0600 and the name
// is removed at once; only a kill in that instant can leave the empty file
// behind. Windows has no files without names: a random name in the
// temporary folder, opened sharing nothing and deleted with its handle.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/hresult.h"

namespace platform {

class FileHandle;

class ScratchFile {
 public:
  // Makes an empty one in the temporary folder (see files.h). False with
  // the system's error; nothing is left behind then.
  static bool create(std::shared_ptr<ScratchFile>& out, Win32Error& error);

  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Read and written at absolute offsets; its size is the current one.
  FileHandle& file() { return *file_; }
  // The descriptor on Linux, the HANDLE on Windows, for the platform's own
  // copies into it.
  std::intptr_t nativeHandle() const { return native_; }

 private:
  ScratchFile(std::unique_ptr<FileHandle> file, std::intptr_t native);

  std::unique_ptr<FileHandle> file_;
  std::intptr_t native_;
};

}  // namespace platform
