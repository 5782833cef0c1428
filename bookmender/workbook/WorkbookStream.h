// The one door through which Bookmender touches a workbook file: the
// compound file and its "Workbook" stream, with every failure of the platform
// turned into an exception of the Exception family.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/compound_file.h"
#include "platform/held_file.h"
#include "platform/scratch_file.h"

namespace bookmender {

// Numbered as the platform's STREAM_SEEK_SET and STREAM_SEEK_CUR and passed
// through unchanged; there is no origin from the end.
enum SeekOrigin : std::uint32_t { SeekFromStart = 0, SeekFromCurrent = 1 };

class WorkbookStream {
 public:
  WorkbookStream() = default;
  virtual ~WorkbookStream();
  WorkbookStream(const WorkbookStream&) = delete;
  WorkbookStream& operator=(const WorkbookStream&) = delete;

  // Opens the compound file at `path` and its "Workbook" stream: read-only
  // denying writers, or read-write exclusively. Throws the open exceptions.
  WorkbookStream& open(const std::wstring& path, bool readOnly);
  // Opens the file at `path` once and holds it, for the check and for every
  // later step on the user's file (see platform/held_file.h); the stream is
  // read through it, read-only. `forWriting` prepares the final write.
  // Throws as open() does.
  // With `beneath`, the file a scan found below a root (platform/beneath.h);
  // reached otherwise, it is not opened and the run says why.
  WorkbookStream& openHeld(const std::wstring& path, bool forWriting, std::shared_ptr<platform::HeldFile>& held,
                           const platform::Beneath* beneath = nullptr);
  // Opens the compound file in a scratch file of this run's own (the
  // temporary copy) and its "Workbook" stream, read-write; `name` stands for
  // it in messages. Throws as open() does once the file is open.
  WorkbookStream& openScratch(std::shared_ptr<platform::ScratchFile> file, const std::wstring& name);
  // Opens the "Workbook" stream of a compound file already open (one held in
  // memory, say); `name` stands for it in messages. Throws as open() does
  // once the file is open.
  WorkbookStream& openOnStorage(std::shared_ptr<platform::Storage> storage, const std::wstring& name);

  // Reads up to `count` bytes; fewer only at the end of the stream.
  std::uint32_t read(void* buffer, std::uint32_t count);
  // Writes `count` bytes at the position; returns the count written.
  std::uint32_t write(const void* buffer, std::uint32_t count);
  std::uint32_t tell();
  // Moves the position; a target beyond the stream's size is refused.
  void seek(std::uint32_t offset, SeekOrigin origin);

  // Stream size taken at open time.
  std::uint32_t size() const { return size_; }
  // The opened compound file, for the tag check.
  const std::shared_ptr<platform::Storage>& storage() const { return storage_; }
  bool isOpen() const { return stream_ != nullptr; }

  // Releases the stream, then the storage (also done by the destructor).
  void close();

 private:
  std::shared_ptr<platform::Storage> storage_;
  std::shared_ptr<platform::Stream> stream_;
  std::uint32_t size_ = 0;
};

}  // namespace bookmender
