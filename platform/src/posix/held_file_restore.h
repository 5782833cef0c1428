// The POSIX side of the undo's steps (HeldFileSystem::openSibling and the
// rest), on the held file's descriptors. Internal to the platform library.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "fd.h"
#include "held_file_system.h"

namespace platform {

// A file of ours read at absolute offsets (held_file.cpp): the backup, read
// for its digest as for the copy back.
std::unique_ptr<FileHandle> ReaderOfOwnFile(Fd fd, std::uint64_t size);

Win32Error OpenSiblingAt(int folder, const std::string& name, std::unique_ptr<FileHandle>& out, FileTimes& times);
Win32Error StateOfFd(int fd, std::uint64_t& size, FileTimes& times);
Win32Error ResizeFd(int fd, std::uint64_t size);
Win32Error SetTimesOfFd(int fd, const FileTimes& times);
// Whether a process other than this one has the file of `fd` open for
// writing: its descriptors under /proc that this process may read (all of
// them for root) are looked at one by one.
bool OpenForWritingElsewhere(int fd);

}  // namespace platform
