// A stream of an open compound file, read and written through the map of its
// chain (see cfb_container.h).
#pragma once

#include <memory>

#include "cfb_container.h"
#include "platform/compound_file.h"

namespace platform {

// Opens the stream of entry `e`. The part its chain covers reads normally; a
// read or write that reaches the missing part of a broken chain fails with
// STG_E_DOCFILECORRUPT, the way a reader that follows chains lazily behaves.
// The stream keeps `file` open.
std::shared_ptr<Stream> OpenChainStream(const std::shared_ptr<CompoundFile>& file, const DirEntry& e);

}  // namespace platform
