// What a copy of a user's file keeps of it, and the flush that makes a new
// name durable. Internal to the platform library.
#pragma once

#include <sys/stat.h>

namespace platform {

// Gives a copy the metadata of its source, as `cp -a` does: owner and group,
// mode, extended attributes (ACLs among them) and then the access and
// modification times. False with errno on failure.
bool KeepMetadata(int in, const struct stat& st, int out);

// Flushes a folder's entries, so that a name just given survives a power
// loss as well as its data. A folder opened only as a path (one we may write
// into but not read) cannot be flushed, and a file system that cannot flush
// folders says EINVAL: both leave the name to the file system's own ordering.
// Returns the error number, or 0.
int FlushFolder(int folder);

}  // namespace platform
