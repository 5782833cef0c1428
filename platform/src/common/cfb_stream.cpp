// Stream I/O: reads go through a window of up to 64 KiB of file-contiguous
// bytes, kept valid across writes by the file's generation count; writes go
// straight through to the file and never grow it.
#include "cfb_stream.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace platform {
namespace {

constexpr std::uint64_t kReadWindow = 64 * 1024;

#if defined(__GNUC__)
#define NOINLINE __attribute__((noinline))
#else
#define NOINLINE
#endif

class StreamImpl final : public Stream {
 public:
  using Run = ChainRun;

  // The chain's `units` as runs: for a file written in one go a handful,
  // where a map would have one entry per 512 bytes.
  StreamImpl(std::shared_ptr<CompoundFile> file, std::uint64_t size, std::uint32_t unitShift, std::vector<Run> runs,
             std::uint64_t units)
      : file_(std::move(file)), size_(size), unitShift_(unitShift), units_(units), runs_(std::move(runs)) {}

  HRESULT stat(std::uint64_t& size) override {
    size = size_;
    return S_OK;
  }

  HRESULT read(void* buffer, std::uint32_t count, std::uint32_t& done) override {
    // The common case of the indexing pass: a few bytes inside the window.
    // (The window never reaches past the end of the stream. A position before
    // it wraps around and fails the first test.)
    const std::uint64_t inCache = pos_ - cacheStart_;
    if (inCache < cacheLength_ && count <= cacheLength_ - inCache && cacheGeneration_ == file_->generation() &&
        buffer != nullptr) {
      const std::uint8_t* from = cache_.data() + inCache;
      auto* out = static_cast<std::uint8_t*>(buffer);
      if (count == 4) {
        std::memcpy(out, from, 4);  // one move: the caller reads it back as a whole at once
      } else if (count < 8) {
        for (std::uint32_t i = 0; i < count; ++i) out[i] = from[i];
      } else {
        std::memcpy(out, from, count);
      }
      pos_ += count;
      done = count;
      return S_OK;
    }
    return readSlow(buffer, count, done);
  }

  HRESULT write(const void* buffer, std::uint32_t count, std::uint32_t& done) override {
    done = 0;
    if (!file_->writable()) return STG_E_ACCESSDENIED;
    if (count != 0 && buffer == nullptr) return STG_E_INVALIDPOINTER;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    while (done < count && pos_ < size_) {
      const std::uint64_t want = std::min<std::uint64_t>(count - done, size_ - pos_);
      std::uint64_t fileOffset = 0, length = 0;
      if (!contiguousRun(pos_, want, fileOffset, length)) return STG_E_DOCFILECORRUPT;
      // Never extend the file: a sector past its end belongs to a damaged chain.
      if (fileOffset >= file_->fileSize()) return STG_E_DOCFILECORRUPT;
      length = std::min(length, file_->fileSize() - fileOffset);
      const bool cacheCurrent = cacheGeneration_ == file_->generation();
      HRESULT hr = file_->file().writeAt(fileOffset, in + done, static_cast<std::size_t>(length));
      file_->bumpGeneration();
      // Noted even when the write failed: its bytes may have reached the file.
      file_->noteWritten(fileOffset, length);
      if (Failed(hr)) return hr;
      if (cacheCurrent) {
        // Keep our own window valid: patch the bytes it holds.
        const std::uint64_t lo = std::max(pos_, cacheStart_);
        const std::uint64_t hi = std::min(pos_ + length, cacheStart_ + cacheLength_);
        if (lo < hi)
          std::memcpy(cache_.data() + (lo - cacheStart_), in + done + (lo - pos_), static_cast<std::size_t>(hi - lo));
        cacheGeneration_ = file_->generation();
      }
      pos_ += length;
      done += static_cast<std::uint32_t>(length);
    }
    return S_OK;
  }

  HRESULT seek(std::int64_t move, std::uint32_t origin, std::uint64_t* newPosition) override {
    std::uint64_t base = 0;
    switch (origin) {
      case kSeekSet: base = 0; break;
      case kSeekCur: base = pos_; break;
      case kSeekEnd: base = size_; break;
      default: return STG_E_INVALIDFUNCTION;
    }
    std::uint64_t next = 0;
    if (move < 0) {
      const std::uint64_t back = static_cast<std::uint64_t>(-(move + 1)) + 1;
      if (back > base) return STG_E_INVALIDFUNCTION;
      next = base - back;
    } else {
      const std::uint64_t ahead = static_cast<std::uint64_t>(move);
      if (ahead > UINT64_MAX - base) return STG_E_INVALIDFUNCTION;
      next = base + ahead;
    }
    pos_ = next;
    if (newPosition != nullptr) *newPosition = pos_;
    return S_OK;
  }

 private:
  NOINLINE HRESULT readSlow(void* buffer, std::uint32_t count, std::uint32_t& done) {
    done = 0;
    if (count != 0 && buffer == nullptr) return STG_E_INVALIDPOINTER;
    auto* out = static_cast<std::uint8_t*>(buffer);
    try {
      while (done < count && pos_ < size_) {
        const std::uint64_t want = std::min<std::uint64_t>(count - done, size_ - pos_);
        const bool cached =
            cacheGeneration_ == file_->generation() && pos_ >= cacheStart_ && pos_ - cacheStart_ < cacheLength_;
        if (!cached && want >= kReadWindow) {
          // A large read goes straight from the file to the caller, a run of
          // contiguous sectors at a time: no copy through the window.
          std::uint64_t fileOffset = 0, length = 0;
          if (!contiguousRun(pos_, want, fileOffset, length)) return STG_E_DOCFILECORRUPT;
          std::size_t got = 0;
          HRESULT hr = file_->file().readAt(fileOffset, out + done, static_cast<std::size_t>(length), got);
          if (Failed(hr)) return hr;
          if (got == 0) return STG_E_DOCFILECORRUPT;  // bytes the chain promises but the file lacks
          pos_ += got;
          done += static_cast<std::uint32_t>(got);
          continue;
        }
        if (!cached) {
          HRESULT hr = fillCache();
          if (Failed(hr)) return hr;
        }
        const std::uint64_t inCache = pos_ - cacheStart_;
        const std::uint64_t n = std::min(want, cacheLength_ - inCache);
        std::memcpy(out + done, cache_.data() + inCache, static_cast<std::size_t>(n));
        pos_ += n;
        done += static_cast<std::uint32_t>(n);
      }
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  // The longest piece of the stream from `pos` that lies contiguously in the
  // file, at most `limit` bytes. False when `pos` is past the chain.
  bool contiguousRun(std::uint64_t pos, std::uint64_t limit, std::uint64_t& fileOffset,
                     std::uint64_t& length) const {
    const std::uint64_t idx = pos >> unitShift_;
    if (idx >= units_) return false;
    // The last run that starts at or before the unit.
    const auto next = std::upper_bound(runs_.begin(), runs_.end(), idx,
                                       [](std::uint64_t u, const Run& run) { return u < run.unit; });
    const Run& run = *(next - 1);
    const std::uint64_t runEnd = next == runs_.end() ? units_ : next->unit;
    const std::uint64_t within = pos & ((std::uint64_t{1} << unitShift_) - 1);
    fileOffset = run.fileOffset + ((idx - run.unit) << unitShift_) + within;
    length = std::min(((runEnd - idx) << unitShift_) - within, limit);
    return true;
  }

  // Loads up to kReadWindow file-contiguous bytes from the position.
  HRESULT fillCache() {
    cacheLength_ = 0;
    cacheStart_ = pos_;
    cacheGeneration_ = file_->generation();
    std::uint64_t fileOffset = 0, length = 0;
    if (!contiguousRun(pos_, std::min(kReadWindow, size_ - pos_), fileOffset, length)) return STG_E_DOCFILECORRUPT;
    if (cache_.size() < kReadWindow) cache_.resize(kReadWindow);
    std::size_t got = 0;
    HRESULT hr = file_->file().readAt(fileOffset, cache_.data(), static_cast<std::size_t>(length), got);
    if (Failed(hr)) return hr;
    cacheLength_ = got;
    // Bytes the chain promises but the file lacks (a truncated file).
    if (got == 0) return STG_E_DOCFILECORRUPT;
    return S_OK;
  }

  std::shared_ptr<CompoundFile> file_;
  std::uint64_t size_;
  std::uint32_t unitShift_;
  std::uint64_t units_;     // units in the chain
  std::vector<Run> runs_;   // in stream order, the first at unit 0
  std::uint64_t pos_ = 0;
  std::vector<std::uint8_t> cache_;
  std::uint64_t cacheStart_ = 0;
  std::uint64_t cacheLength_ = 0;
  std::uint64_t cacheGeneration_ = 0;
};

}  // namespace

HRESULT OpenChainStream(const std::shared_ptr<CompoundFile>& file, const DirEntry& e, std::shared_ptr<Stream>& out) {
  out.reset();
  std::uint32_t unitShift = 0;
  std::vector<ChainRun> runs;
  std::uint64_t units = 0;
  const HRESULT hr = file->sectorMap(e, unitShift, runs, units);
  if (Failed(hr)) return hr;
  out = std::make_shared<StreamImpl>(file, file->streamSize(e), unitShift, std::move(runs), units);
  return S_OK;
}

}  // namespace platform
