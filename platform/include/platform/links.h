// Whether a folder entry is itself a link, found without following it.
#pragma once

#include <string>

#include "platform/hresult.h"

namespace platform {

#ifdef _WIN32
// Windows: the entry, opened with FILE_FLAG_OPEN_REPARSE_POINT so that
// nothing behind it is opened, is a reparse point that stands for another
// name (a symbolic link, a directory junction, a mount point). A reparse
// point whose tag cannot be read counts as a link: what cannot be examined
// is not followed. False with the system error number when the entry's
// attributes cannot be read at all. (Linux has lstat, which is exact.)
bool IsLinkEntry(const std::wstring& path, bool& link, Win32Error& error);
#endif

}  // namespace platform
