// The content of one regular file copied into another, holes kept as holes
// and shared blocks shared where the file system can, so that a sparse
// workbook of gigabytes costs its copies only what it holds on disk.
// Internal to the platform library.
#pragma once

namespace platform {

// Copies the whole content of regular file `in` (offset 0 to its end) into
// the empty regular file `out` (not opened for appending). Only positional
// I/O is used: neither descriptor's file position is read, and nothing here
// needs it to be anywhere (the hole search moves `in`'s as a side effect). A
// reflink where the file system offers one; otherwise each data segment is
// copied at its own offset and the holes between them are left unwritten.
// With `toDisk`, for a copy that is flushed next, the copied bytes are sent
// on to the disk as the copy goes, so that the flush has less left to wait
// for; a scratch copy that is never flushed leaves it to the system.
// False with errno on failure.
bool CopyContent(int in, int out, bool toDisk = false);

}  // namespace platform
