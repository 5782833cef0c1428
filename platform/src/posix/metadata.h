// What a copy of a user's file keeps of it, and the flush that makes a new
// name durable. Internal to the platform library.
#pragma once

#include <sys/stat.h>

namespace platform {

// A copy keeps its source's metadata as `cp -a` does, in two steps around
// its content, so that no one the source shuts out can open the copy at any
// moment: made admitting only us (mode 0600), it first takes the owner,
// group and access ACL (KeepAccess), then the content, then the rest
// (KeepMetadata): the mode with its set-id bits, which a write would clear,
// the other extended attributes, of which a write clears some
// (security.capability), and the times, which the writes move.

// Owner and group, and exactly the source's access ACL: none when it has
// none, whatever the folder's default ACL gave the copy. `mode` receives
// the mode KeepMetadata is to give: without the right to give the file away,
// the group is kept where it can be and the set-id bits are dropped. False
// with errno on failure.
bool KeepAccess(int in, const struct stat& st, int out, mode_t& mode);

// The mode from KeepAccess, the extended attributes other than the access
// ACL, and then the access and modification times. False with errno on
// failure.
bool KeepMetadata(int in, const struct stat& st, mode_t mode, int out);

// Flushes a folder's entries, so that a name just given survives a power
// loss as well as its data. A folder opened only as a path (one we may write
// into but not read) cannot be flushed, and a file system that cannot flush
// folders says EINVAL: both leave the name to the file system's own ordering.
// Returns the error number, or 0.
int FlushFolder(int folder);

}  // namespace platform
