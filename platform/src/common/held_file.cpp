// The held file's steps that are the same on every system: the order of the
// copy back and the checks before and after its writes.
#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "held_file_system.h"
#include "platform/held_file.h"
#include "platform/scratch_file.h"

namespace platform {
namespace {

// The held file read as a FileHandle: by the compound-file layer, which
// keeps the file alive through `keep`, and by the checks of the copy back.
class HeldFileReader final : public FileHandle {
 public:
  explicit HeldFileReader(HeldFileSystem& system, std::shared_ptr<HeldFile> keep = nullptr)
      : system_(system), keep_(std::move(keep)) {}
  std::uint64_t size() const override { return system_.size(); }
  HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) override {
    return system_.readAt(offset, buffer, count, done);
  }
  HRESULT writeAt(std::uint64_t, const void*, std::size_t) override { return STG_E_ACCESSDENIED; }
  void dataAfter(std::uint64_t from, std::uint64_t& start, std::uint64_t& end) override {
    system_.dataAfter(from, start, end);
  }

 private:
  HeldFileSystem& system_;
  std::shared_ptr<HeldFile> keep_;
};

// Reads exactly `count` bytes at `offset`; a short file is an error.
Win32Error ReadExactly(FileHandle& file, std::uint64_t offset, void* buffer, std::size_t count) {
  std::size_t done = 0;
  const HRESULT hr = file.readAt(offset, buffer, count, done);
  if (Failed(hr)) return Win32ErrorFromHResult(hr);
  return done == count ? kErrorSuccess : kErrorIoDevice;
}

// Small enough that the three pieces compared stay in a core's cache between
// their read and the comparison: larger ones made it go at memory's pace.
constexpr std::size_t kChunk = 128u << 10;

// True when `range` [lo, hi) of `a` and `b` differ only inside `ranges`
// (sorted). `next` is the first range not wholly before `lo`.
bool EqualOutside(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t lo, std::uint64_t hi,
                  const std::vector<ByteRange>& ranges, std::size_t& next) {
  std::uint64_t at = lo;
  while (at < hi) {
    while (next < ranges.size() && ranges[next].offset + ranges[next].length <= at) ++next;
    std::uint64_t end = hi;
    if (next < ranges.size() && ranges[next].offset < hi) end = std::max(at, ranges[next].offset);
    if (end > at && std::memcmp(a + (at - lo), b + (at - lo), static_cast<std::size_t>(end - at)) != 0) {
      return false;
    }
    if (end >= hi) break;
    at = std::min(hi, ranges[next].offset + ranges[next].length);  // skip the range itself
  }
  return true;
}

// Files from this size on are compared by two threads.
constexpr std::uint64_t kSplitAt = 8u << 20;

struct CompareResult {
  Win32Error error = kErrorSuccess;  // a read failed
  bool equal = true;
};

// [from, to) of the original equals the backup, and the repair equals the
// backup there outside `ranges`.
CompareResult CompareThree(FileHandle& original, FileHandle& backup, FileHandle& fixed, std::uint64_t from,
                           std::uint64_t to, const std::vector<ByteRange>& ranges) {
  CompareResult result;
  // Also run on a thread of its own, where nothing may escape.
  std::vector<std::uint8_t> a, b, c;
  try {
    a.resize(kChunk);
    b.resize(kChunk);
    c.resize(kChunk);
  } catch (const std::bad_alloc&) {
    result.error = kErrorNotEnoughMemory;
    return result;
  }
  std::size_t next = 0;
  for (std::uint64_t at = from; at < to; at += kChunk) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, to - at));
    if ((result.error = ReadExactly(original, at, a.data(), n)) != kErrorSuccess ||
        (result.error = ReadExactly(backup, at, b.data(), n)) != kErrorSuccess ||
        (result.error = ReadExactly(fixed, at, c.data(), n)) != kErrorSuccess) {
      return result;
    }
    if (std::memcmp(a.data(), b.data(), n) != 0 || !EqualOutside(b.data(), c.data(), at, at + n, ranges, next)) {
      result.equal = false;
      return result;
    }
  }
  return result;
}

// CompareThree over [from, to), in two halves at once from kSplitAt on.
CompareResult CompareStretch(FileHandle& original, FileHandle& backup, FileHandle& fixed, std::uint64_t from,
                             std::uint64_t to, const std::vector<ByteRange>& ranges) {
  const std::uint64_t half = to - from >= kSplitAt ? from + ((to - from) / 2 / kChunk) * kChunk : to;
  CompareResult second;
  std::thread other;
  if (half < to) {
    try {
      other = std::thread([&]() { second = CompareThree(original, backup, fixed, half, to, ranges); });
    } catch (const std::system_error&) {
      second = CompareThree(original, backup, fixed, half, to, ranges);
    }
  }
  CompareResult first = CompareThree(original, backup, fixed, from, half, ranges);
  if (other.joinable()) other.join();
  if (first.error == kErrorSuccess && second.error != kErrorSuccess) first.error = second.error;
  first.equal = first.equal && second.equal;
  return first;
}

}  // namespace

std::vector<ByteRange> MergeRanges(std::vector<ByteRange> ranges) {
  ranges.erase(std::remove_if(ranges.begin(), ranges.end(), [](const ByteRange& r) { return r.length == 0; }),
               ranges.end());
  std::sort(ranges.begin(), ranges.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
  std::vector<ByteRange> merged;
  for (const ByteRange& r : ranges) {
    if (!merged.empty() && r.offset <= merged.back().offset + merged.back().length) {
      const std::uint64_t end = std::max(merged.back().offset + merged.back().length, r.offset + r.length);
      merged.back().length = end - merged.back().offset;
    } else {
      merged.push_back(r);
    }
  }
  return merged;
}

std::unique_ptr<FileHandle> ReadHeldFile(std::shared_ptr<HeldFile> file) {
  HeldFileSystem& system = file->system();
  return std::unique_ptr<FileHandle>(new HeldFileReader(system, std::move(file)));
}

HRESULT HeldFile::open(const std::wstring& path, bool forWriting, std::shared_ptr<HeldFile>& out,
                       const Beneath* beneath) {
  out.reset();
  try {
    std::unique_ptr<HeldFileSystem> system;
    const HRESULT hr = OpenHeldFileSystem(path, forWriting, beneath, system);
    if (Failed(hr)) return hr;
    out = std::make_shared<HeldFile>(std::move(system));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HeldFile::HeldFile(std::unique_ptr<HeldFileSystem> system) : system_(std::move(system)) {}
HeldFile::~HeldFile() = default;

std::uint64_t HeldFile::size() const { return system_->size(); }

bool HeldFile::copyTo(ScratchFile& target, Win32Error& error) {
  error = kErrorSuccess;
  return system_->copyTo(target, error);
}

void HeldFile::startBackup() { system_->startBackup(); }

bool HeldFile::backUp(const std::wstring& suffix, Win32Error& error) {
  error = kErrorSuccess;
  return system_->backUp(suffix, error);
}

WriteBackResult HeldFile::writeBack(ScratchFile& repaired, const std::vector<ByteRange>& changes,
                                    Win32Error& error) {
  error = kErrorSuccess;
  FileHandle* backup = system_->backup();
  if (!backup) {
    error = kErrorInvalidParameter;
    return WriteBackResult::kNotWritable;
  }
  if ((error = system_->writeError()) != kErrorSuccess) return WriteBackResult::kNotWritable;
  if ((error = system_->lockExclusive()) != kErrorSuccess) {
    return error == kErrorSharingViolation ? WriteBackResult::kInUse : WriteBackResult::kNotWritable;
  }
  // From here on no other program that locks may write; one that does not
  // lock is caught by the comparisons.
  if (!system_->nameLeadsHere()) return WriteBackResult::kNameChanged;
  if (!system_->unchangedSinceOpen()) return WriteBackResult::kContentChanged;

  const std::uint64_t size = system_->size();
  const std::vector<ByteRange> ranges = MergeRanges(changes);
  if (!ranges.empty() && ranges.back().offset + ranges.back().length > size) {
    error = kErrorInvalidParameter;
    return WriteBackResult::kNotWritable;
  }
  FileHandle* const fixed = &repaired.file();
  if (fixed->size() != size || backup->size() != size) return WriteBackResult::kContentChanged;

  // One pass over the three files: the original must be the backup, and the
  // repair the backup outside the ranges, so that the result of the writes
  // is the repaired copy byte for byte. Where all three have a hole, all
  // three read as zeros: only the stretches where any of them may hold data
  // are read, so a sparse workbook costs what it holds. A long stretch is
  // compared in two halves at once; every read is positional.
  HeldFileReader original(*system_);
  FileHandle* const files[] = {&original, backup, fixed};
  for (std::uint64_t at = 0; at < size;) {
    std::uint64_t from = size;
    for (FileHandle* f : files) {
      std::uint64_t start = 0, end = 0;
      f->dataAfter(at, start, end);
      from = std::min(from, start);
    }
    if (from >= size) break;
    // The stretch ends where none of the three has data any more.
    std::uint64_t to = from;
    for (bool moved = true; moved && to < size;) {
      moved = false;
      for (FileHandle* f : files) {
        std::uint64_t start = 0, end = 0;
        f->dataAfter(to, start, end);
        if (start == to && end > to) {
          to = end;
          moved = true;
        }
      }
    }
    const CompareResult stretch = CompareStretch(original, *backup, *fixed, from, to, ranges);
    if (stretch.error != kErrorSuccess) {
      error = stretch.error;
      return WriteBackResult::kNotWritable;
    }
    if (!stretch.equal) return WriteBackResult::kContentChanged;
    at = to;
  }
  // A file that grew or changed during the pass is caught here.
  if (!system_->unchangedSinceOpen()) return WriteBackResult::kContentChanged;

  // The bytes to write and the bytes to restore them with, all in memory
  // before the first write.
  std::vector<std::vector<std::uint8_t>> wanted(ranges.size()), before(ranges.size());
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    const auto n = static_cast<std::size_t>(ranges[i].length);
    wanted[i].resize(n);
    before[i].resize(n);
    if ((error = ReadExactly(*fixed, ranges[i].offset, wanted[i].data(), n)) != kErrorSuccess ||
        (error = ReadExactly(*backup, ranges[i].offset, before[i].data(), n)) != kErrorSuccess) {
      return WriteBackResult::kNotWritable;
    }
  }

  // Writes `bytes` over the ranges, flushes, and reads them back.
  const auto put = [&](const std::vector<std::vector<std::uint8_t>>& bytes) {
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      const Win32Error e = system_->writeAt(ranges[i].offset, bytes[i].data(), bytes[i].size());
      if (e != kErrorSuccess) return e;
    }
    if (const Win32Error e = system_->flush(); e != kErrorSuccess) return e;
    std::vector<std::uint8_t> check;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      check.resize(bytes[i].size());
      if (const Win32Error e = ReadExactly(original, ranges[i].offset, check.data(), check.size());
          e != kErrorSuccess) {
        return e;
      }
      if (check != bytes[i]) return kErrorIoDevice;
    }
    return kErrorSuccess;
  };
  if ((error = put(wanted)) == kErrorSuccess) return WriteBackResult::kWritten;
  return put(before) == kErrorSuccess ? WriteBackResult::kRestored : WriteBackResult::kNotRestored;
}

}  // namespace platform
