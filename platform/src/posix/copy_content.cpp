#include "copy_content.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fd.h"

#if defined(__linux__)
#include <linux/fs.h>
#endif

namespace platform {

namespace {

// The most one copy_file_range call is asked for; it may do less.
constexpr std::size_t kKernelChunk = std::size_t{1} << 30;
constexpr std::size_t kBufferSize = std::size_t{1} << 20;
// A copy that is to be flushed goes in steps of this size, each handed to
// the disk as soon as it is in: the flush then finds most of it written
// instead of starting on all of it, and the copying and the disk overlap.
constexpr std::size_t kFlushStep = std::size_t{2} << 20;

// A reflink: `out` shares `in`'s blocks until either is written. True when
// done; false with `unavailable` set when this file system or pair of files
// offers none (the caller copies instead), false with errno otherwise.
bool Clone(int in, int out, bool& unavailable) {
  unavailable = true;
#ifdef FICLONE
  int rc;
  do {
    rc = ::ioctl(out, FICLONE, in);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    unavailable = false;
    return true;
  }
  switch (errno) {
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case EXDEV:   // two file systems
    case EINVAL:  // the file system cannot clone these (or at all)
    case ENOTTY:  // no such request here
    case EBADF:   // e.g. FICLONE onto a file opened for appending
    case EPERM:   // e.g. an immutable file: the writes below say so themselves
    case ETXTBSY:
    case ENOSYS:
      return false;
    default:
      unavailable = false;
      return false;
  }
#else
  (void)in;
  (void)out;
  return false;
#endif
}

// Starts writing `out`'s bytes [from, from + n) to disk without waiting.
// Only a head start for the flush that follows, which reports any failure:
// a system that cannot do it here just leaves it all to the flush.
void StartWriting(int out, off_t from, ssize_t n) { ::sync_file_range(out, from, n, SYNC_FILE_RANGE_WRITE); }

// Copies bytes [from, to) of `in` to the same offsets of `out`: in the kernel
// while `kernel` holds, else through `buffer`. A source that ends early (it
// shrank meanwhile) ends the range there. With `toDisk`, each step is sent
// on to the disk as soon as it is copied.
bool CopyRange(int in, int out, off_t from, off_t to, bool toDisk, bool& kernel, std::vector<char>& buffer) {
  while (from < to) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::int64_t>(to - from, toDisk ? kFlushStep : kKernelChunk));
    if (kernel) {
      loff_t inAt = from;
      loff_t outAt = from;
      const ssize_t n = ::copy_file_range(in, &inAt, out, &outAt, want, 0);
      if (n > 0) {
        if (toDisk) StartWriting(out, from, n);
        from += n;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
      // Not between these files: read and write instead. Nothing copied
      // either means the source's end or a file system whose kernel copy
      // moves nothing here; the read below tells which.
      kernel = false;
    }
    if (buffer.empty()) buffer.resize(kBufferSize);
    const ssize_t n = ::pread(in, buffer.data(), std::min(want, buffer.size()), from);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!WriteAllAt(out, static_cast<std::uint64_t>(from), buffer.data(), static_cast<std::size_t>(n))) return false;
    if (toDisk) StartWriting(out, from, n);
    from += n;
  }
  return true;
}

}  // namespace

// The copy covers the source as its size stood at the start: bytes a writer
// appends meanwhile are left out, and a source that shrinks meanwhile is
// copied to its new end. (A reflink takes the file as it stands at that one
// moment.)
bool CopyContent(int in, int out, bool toDisk) {
  struct stat st;
  if (::fstat(in, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  bool unavailable = false;
  if (Clone(in, out, unavailable)) return true;
  if (!unavailable) return false;

  const off_t size = st.st_size;
  bool kernel = true;
  std::vector<char> buffer;
  for (off_t at = 0; at < size;) {
    off_t data = ::lseek(in, at, SEEK_DATA);
    off_t hole = size;
    if (data < 0) {
      if (errno == ENXIO) break;  // nothing but a hole from here on
      if (errno != EINVAL) return false;
      data = at;  // no hole search here: the rest is one segment
    } else {
      if (data >= size) break;
      hole = ::lseek(in, data, SEEK_HOLE);
      if (hole < 0) {
        if (errno == ENXIO) break;  // the source shrank below `data`
        return false;
      }
      hole = std::min(hole, size);
    }
    if (!CopyRange(in, out, data, hole, toDisk, kernel, buffer)) return false;
    at = hole;
  }

  // The size gives the copy its trailing hole, if any.
  struct stat now;
  if (::fstat(in, &now) != 0) return false;
  const off_t end = std::min(size, now.st_size);
  int rc;
  do {
    rc = ::ftruncate(out, end);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace platform
