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
// The stream keeps `file` open. Fails only when a FAT sector the chain needs
// cannot be read.
HRESULT OpenChainStream(const std::shared_ptr<CompoundFile>& file, const DirEntry& e, std::shared_ptr<Stream>& out);

}  // namespace platform
