#include "platform/scratch_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "fd.h"
#include "file_handle.h"
#include "platform/files.h"
#include "platform/termination.h"
#include "platform/text.h"

namespace platform {
namespace {

class ScratchHandle final : public FileHandle {
 public:
  explicit ScratchHandle(Fd fd) : fd_(std::move(fd)) {}

  // It grows while the copy is made: the size is asked each time.
  std::uint64_t size() const override {
    struct stat st;
    return ::fstat(fd_.get(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  }
  HRESULT readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done) override {
    if (!ReadAt(fd_.get(), offset, buffer, count, done)) return HResultFromSystemError(Win32ErrorFromErrno(errno));
    return S_OK;
  }
  HRESULT writeAt(std::uint64_t offset, const void* buffer, std::size_t count) override {
    if (WriteAllAt(fd_.get(), offset, buffer, count)) return S_OK;
    return HResultFromSystemError(Win32ErrorFromErrno(errno));
  }
  void dataAfter(std::uint64_t from, std::uint64_t& start, std::uint64_t& end) override {
    DataAfter(fd_.get(), size(), from, start, end);
  }

 private:
  Fd fd_;
};

// The system or its file system has no unnamed files.
bool NoUnnamedFiles(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL; }

// A name nobody can guess, created exclusively and removed at once. In a
// folder where others may rename our entries (no sticky bit), the name
// removed may no longer be ours: the file still has a name then, and is
// given up for another. Termination signals wait meanwhile, so only SIGKILL
// in this instant can leave the empty file behind.
Fd CreateAndForget(const std::string& folder, int& err) {
  Fd dir(OpenRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (!dir.valid()) {
    err = errno;
    return Fd();
  }
  std::random_device random;
  err = EEXIST;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "tmr%08X%08X.tmp", static_cast<unsigned>(random()),
                  static_cast<unsigned>(random()));
    const TerminationDeferral deferral;
    Fd fd(::openat(dir.get(), name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
      if (errno != EEXIST) {
        err = errno;
        return Fd();
      }
      continue;
    }
    ::unlinkat(dir.get(), name, 0);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
      err = errno;
      return Fd();
    }
    if (st.st_nlink == 0) return fd;
  }
  return Fd();
}

}  // namespace

ScratchFile::ScratchFile(std::unique_ptr<FileHandle> file, std::intptr_t native)
    : file_(std::move(file)), native_(native) {}
ScratchFile::~ScratchFile() = default;

bool ScratchFile::create(std::shared_ptr<ScratchFile>& out, Win32Error& error) {
  out.reset();
  const std::string folder = EncodeNative(TemporaryFolder());
  Fd fd(OpenRetrying(folder.c_str(), O_TMPFILE | O_RDWR, 0600));
  int err = errno;
  if (!fd.valid() && NoUnnamedFiles(err)) fd = CreateAndForget(folder, err);
  if (!fd.valid()) {
    error = Win32ErrorFromErrno(err, folder);
    return false;
  }
  const auto native = static_cast<std::intptr_t>(fd.get());
  out.reset(new ScratchFile(std::unique_ptr<FileHandle>(new ScratchHandle(std::move(fd))), native));
  return true;
}

}  // namespace platform
