#include "platform/scratch_file.h"

#include <windows.h>

#include "file_handle.h"
#include "handle_io.h"

namespace platform {
namespace {

class ScratchHandle final : public FileHandle {
 public:
  explicit ScratchHandle(Handle handle) : handle_(std::move(handle)) {}

  // It grows while the copy is made: the size is asked each time.
  std::uint64_t size() const override {
    LARGE_INTEGER size;
    return ::GetFileSizeEx(handle_.get(), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
  }
  HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) override {
    return ReadAtHandle(handle_.get(), offset, buffer, count, done);
  }
  HRESULT writeAt(std::uint64_t offset, const void* buffer, std::size_t count) override {
    return WriteAtHandle(handle_.get(), offset, buffer, count);
  }

 private:
  Handle handle_;
};

}  // namespace

ScratchFile::ScratchFile(std::unique_ptr<FileHandle> file, std::intptr_t native)
    : file_(std::move(file)), native_(native) {}
ScratchFile::~ScratchFile() = default;

bool ScratchFile::create(std::shared_ptr<ScratchFile>& out, Win32Error& error) {
  out.reset();
  Handle file(CreatePrivateScratch(L"tmr", error));
  if (!file.valid()) {
    // A folder that is not there answers as the system's reservation of a
    // temporary name always has.
    if (error == ERROR_PATH_NOT_FOUND) error = ERROR_DIRECTORY;
    return false;
  }
  const auto native = reinterpret_cast<std::intptr_t>(file.get());
  out.reset(new ScratchFile(std::unique_ptr<FileHandle>(new ScratchHandle(std::move(file))), native));
  return true;
}

}  // namespace platform
