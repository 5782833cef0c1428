// A compound file held in memory, for tests and fuzzers: the same layer over
// a byte buffer instead of a file, without the file system in between.
#include <algorithm>
#include <cstring>

#include "file_handle.h"

namespace platform {
namespace {

class MemoryFile final : public FileHandle {
 public:
  MemoryFile(std::shared_ptr<std::vector<std::uint8_t>> bytes, bool writable)
      : bytes_(std::move(bytes)), writable_(writable), size_(bytes_->size()) {}

  std::uint64_t size() const override { return size_; }

  HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) override {
    done = 0;
    const std::uint64_t held = bytes_->size();
    if (offset >= held) return S_OK;
    done = static_cast<std::size_t>(std::min<std::uint64_t>(count, held - offset));
    if (done != 0) std::memcpy(buffer, bytes_->data() + static_cast<std::size_t>(offset), done);
    return S_OK;
  }

  HRESULT writeAt(std::uint64_t offset, const void* buffer, std::size_t count) override {
    if (!writable_) return STG_E_ACCESSDENIED;
    const std::uint64_t held = bytes_->size();
    if (offset > held || count > held - offset) return STG_E_WRITEFAULT;
    if (count != 0) std::memcpy(bytes_->data() + static_cast<std::size_t>(offset), buffer, count);
    return S_OK;
  }

 private:
  std::shared_ptr<std::vector<std::uint8_t>> bytes_;
  bool writable_;
  std::uint64_t size_;
};

}  // namespace

std::unique_ptr<FileHandle> OpenMemoryFileHandle(std::shared_ptr<std::vector<std::uint8_t>> bytes, bool writable) {
  return std::make_unique<MemoryFile>(std::move(bytes), writable);
}

}  // namespace platform
