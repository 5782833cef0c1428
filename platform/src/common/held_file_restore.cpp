// The proof a repair hands over and the undo that checks it: the same on
// every system, on the held file's system side.
#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "held_file_system.h"
#include "platform/held_file.h"
#include "platform/scratch_file.h"
#include "platform/sha256.h"

namespace platform {
namespace {

constexpr std::size_t kChunk = 128u << 10;

using ReadFn = std::function<HRESULT(std::uint64_t, void*, std::size_t, std::size_t&)>;

// Reads from 0 to the end, whatever the size said before, handing every
// piece to `each`; `size` receives how many bytes there were.
Win32Error ReadThrough(const ReadFn& read, std::uint64_t& size,
                       const std::function<Win32Error(std::uint64_t, const std::uint8_t*, std::size_t)>& each) {
  std::vector<std::uint8_t> buffer(kChunk);
  size = 0;
  for (;;) {
    std::size_t done = 0;
    const HRESULT hr = read(size, buffer.data(), buffer.size(), done);
    if (Failed(hr)) return Win32ErrorFromHResult(hr);
    if (done == 0) return kErrorSuccess;
    if (const Win32Error e = each(size, buffer.data(), done); e != kErrorSuccess) return e;
    size += done;
  }
}

ReadFn Reading(FileHandle& file) {
  return [&file](std::uint64_t at, void* buffer, std::size_t count, std::size_t& done) {
    return file.readAt(at, buffer, count, done);
  };
}

Win32Error Digest(const ReadFn& read, std::string& digest, std::uint64_t& size) {
  Sha256 sha;
  const Win32Error e = ReadThrough(read, size, [&sha](std::uint64_t, const std::uint8_t* p, std::size_t n) {
    sha.update(p, n);
    return kErrorSuccess;
  });
  if (e == kErrorSuccess) digest = sha.hexDigest();
  return e;
}

Win32Error ReadExactly(FileHandle& file, std::uint64_t offset, std::uint8_t* buffer, std::size_t count) {
  std::size_t done = 0;
  const HRESULT hr = file.readAt(offset, buffer, count, done);
  if (Failed(hr)) return Win32ErrorFromHResult(hr);
  return done == count ? kErrorSuccess : kErrorIoDevice;
}

}  // namespace

bool HeldFile::repairState(ScratchFile& repaired, RepairState& state, Win32Error& error) {
  error = kErrorSuccess;
  FileHandle* const backup = system_->backup();
  if (!backup) {
    error = kErrorInvalidParameter;
    return false;
  }
  try {
    std::uint64_t repairedSize = 0, backupSize = 0;
    FileTimes times;
    if ((error = Digest(Reading(repaired.file()), state.sha256, repairedSize)) != kErrorSuccess ||
        (error = Digest(Reading(*backup), state.backupSha256, backupSize)) != kErrorSuccess ||
        (error = system_->stateNow(state.size, times)) != kErrorSuccess) {
      return false;
    }
    state.mtimeNs = static_cast<std::uint64_t>(times.modifyNs);
    return true;
  } catch (const std::bad_alloc&) {
    error = kErrorNotEnoughMemory;
    return false;
  }
}

RestoreResult HeldFile::restoreFrom(const std::wstring& suffix, const RepairState& left, Win32Error& error) {
  error = kErrorSuccess;
  try {
    if ((error = system_->writeError()) != kErrorSuccess) return RestoreResult::kNoAccess;
    if ((error = system_->lockExclusive()) != kErrorSuccess) {
      return error == kErrorSharingViolation ? RestoreResult::kInUse : RestoreResult::kNoAccess;
    }
    // A program that writes without locking is turned away where it can be
    // seen: the backup is never written under another writer.
    if (system_->openForWritingElsewhere()) {
      error = kErrorSharingViolation;
      return RestoreResult::kInUse;
    }
    // From here on no program that locks may write the file; one that does
    // not and opens it only now is caught by the state compared before the
    // writes and the digest read back after them.
    if (!system_->nameLeadsHere()) return RestoreResult::kNameChanged;

    std::unique_ptr<FileHandle> backup;
    FileTimes backupTimes;
    error = system_->openSibling(suffix, backup, backupTimes);
    if (error == kErrorFileNotFound || error == kErrorPathNotFound) return RestoreResult::kBackupMissing;
    if (error == kErrorCantResolveFilename) return RestoreResult::kBackupChanged;
    if (error != kErrorSuccess) return RestoreResult::kNoAccess;
    std::string backupSha;
    std::uint64_t backupSize = 0;
    if ((error = Digest(Reading(*backup), backupSha, backupSize)) != kErrorSuccess) return RestoreResult::kNoAccess;
    if (backupSha != left.backupSha256) return RestoreResult::kBackupChanged;

    // The file as it is, into a private copy, digested on the way: the
    // copy is what a failed write is undone from.
    std::uint64_t sizeBefore = 0;
    FileTimes timesBefore;
    if ((error = system_->stateNow(sizeBefore, timesBefore)) != kErrorSuccess) return RestoreResult::kNoAccess;
    std::shared_ptr<ScratchFile> scratch;
    if (!ScratchFile::create(scratch, error)) return RestoreResult::kNoAccess;
    FileHandle& before = scratch->file();
    const ReadFn readFile = [this](std::uint64_t at, void* buffer, std::size_t count, std::size_t& done) {
      return system_->readAt(at, buffer, count, done);
    };
    Sha256 sha;
    std::uint64_t fileSize = 0;
    error = ReadThrough(readFile, fileSize, [&](std::uint64_t at, const std::uint8_t* p, std::size_t n) {
      sha.update(p, n);
      const HRESULT hr = before.writeAt(at, p, n);
      return Failed(hr) ? Win32ErrorFromHResult(hr) : kErrorSuccess;
    });
    if (error != kErrorSuccess) return RestoreResult::kNoAccess;
    const std::string fileSha = sha.hexDigest();
    std::uint64_t sizeAfter = 0;
    FileTimes timesAfter;
    if ((error = system_->stateNow(sizeAfter, timesAfter)) != kErrorSuccess) return RestoreResult::kNoAccess;
    // Written by someone while it was read: not the content digested.
    if (sizeAfter != sizeBefore || sizeAfter != fileSize || timesAfter.modifyNs != timesBefore.modifyNs) {
      return RestoreResult::kChangedSinceRepair;
    }
    if (fileSha == backupSha && fileSize == backupSize) return RestoreResult::kAlreadyRestored;
    if (fileSha != left.sha256 || fileSize != left.size) return RestoreResult::kChangedSinceRepair;

    // The backup's bytes where they differ from the file's, then its size.
    std::vector<ByteRange> written;
    const auto restore = [&]() -> Win32Error {
      std::vector<std::uint8_t> a(kChunk), b(kChunk);
      for (std::uint64_t at = 0; at < backupSize; at += kChunk) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, backupSize - at));
        if (const Win32Error e = ReadExactly(*backup, at, b.data(), n); e != kErrorSuccess) return e;
        // Past the file's end everything is to be written.
        const auto common = static_cast<std::size_t>(at < fileSize ? std::min<std::uint64_t>(n, fileSize - at) : 0);
        if (common > 0) {
          if (const Win32Error e = ReadExactly(before, at, a.data(), common); e != kErrorSuccess) return e;
        }
        std::size_t first = 0;
        while (first < common && a[first] == b[first]) ++first;
        if (first == n) continue;
        std::size_t last = n;
        if (n == common) {
          while (last > first && a[last - 1] == b[last - 1]) --last;
        }
        written.push_back(ByteRange{at + first, last - first});
        if (const Win32Error e = system_->writeAt(at + first, b.data() + first, last - first); e != kErrorSuccess) {
          return e;
        }
      }
      if (fileSize != backupSize) {
        if (const Win32Error e = system_->resize(backupSize); e != kErrorSuccess) return e;
      }
      if (const Win32Error e = system_->flush(); e != kErrorSuccess) return e;
      std::string now;
      std::uint64_t nowSize = 0;
      if (const Win32Error e = Digest(readFile, now, nowSize); e != kErrorSuccess) return e;
      if (now != backupSha || nowSize != backupSize) return kErrorIoDevice;
      if (const Win32Error e = system_->setTimes(backupTimes); e != kErrorSuccess) return e;
      return system_->flush();
    };
    // The file's own bytes over every range written, its size and times.
    const auto putBack = [&]() -> Win32Error {
      std::vector<std::uint8_t> a;
      for (const ByteRange& range : written) {
        if (range.offset >= fileSize) continue;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(range.length, fileSize - range.offset));
        a.resize(n);
        if (const Win32Error e = ReadExactly(before, range.offset, a.data(), n); e != kErrorSuccess) return e;
        if (const Win32Error e = system_->writeAt(range.offset, a.data(), n); e != kErrorSuccess) return e;
      }
      if (const Win32Error e = system_->resize(fileSize); e != kErrorSuccess) return e;
      if (const Win32Error e = system_->flush(); e != kErrorSuccess) return e;
      std::string now;
      std::uint64_t nowSize = 0;
      if (const Win32Error e = Digest(readFile, now, nowSize); e != kErrorSuccess) return e;
      if (now != fileSha || nowSize != fileSize) return kErrorIoDevice;
      if (const Win32Error e = system_->setTimes(timesBefore); e != kErrorSuccess) return e;
      return system_->flush();
    };
    // Past the first write nothing may escape before the file is put back.
    const auto guarded = [](const std::function<Win32Error()>& step) {
      try {
        return step();
      } catch (const std::bad_alloc&) {
        return kErrorNotEnoughMemory;
      }
    };
    if ((error = guarded(restore)) == kErrorSuccess) return RestoreResult::kRestored;
    return guarded(putBack) == kErrorSuccess ? RestoreResult::kPutBack : RestoreResult::kNotPutBack;
  } catch (const std::bad_alloc&) {
    error = kErrorNotEnoughMemory;
    return RestoreResult::kNoAccess;
  }
}

}  // namespace platform
