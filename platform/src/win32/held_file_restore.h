// The Windows side of the undo's steps (HeldFileSystem::openSibling and the
// rest), on the held file's handle. Internal to the platform library.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "handle_io.h"
#include "held_file_system.h"

namespace platform {

// A file of ours read at absolute offsets (held_file.cpp): the backup, read
// for its digest as for the copy back.
std::unique_ptr<FileHandle> ReaderOfOwnFile(Handle handle, std::uint64_t size);

// `name` beside the held file, whose folders cannot be renamed while it is
// held: a reparse point is opened as itself and refused.
Win32Error OpenSiblingNamed(const std::wstring& name, std::unique_ptr<FileHandle>& out, FileTimes& times);
Win32Error StateOfHandle(HANDLE file, std::uint64_t& size, FileTimes& times);
Win32Error ResizeHandle(HANDLE file, std::uint64_t size);
Win32Error SetTimesOfHandle(HANDLE file, const FileTimes& times);

}  // namespace platform
