// The POSIX side of platform/beneath.h: the folders opened on the way, for
// the held file. Internal to the platform library.
#pragma once

#include <string>

#include "fd.h"
#include "platform/beneath.h"

namespace platform {

// Opens the folder `path` (native bytes) as ResolveTrusted resolves it, for
// reading where that is allowed, else for searching only (O_PATH). `resolved`
// gets its path without links. An invalid Fd with the result otherwise.
Fd OpenTrustedFolder(const std::string& path, std::string* resolved, HRESULT& result);

// Opens the folder `relative` (native bytes, components separated by "/")
// below the open folder `root`, following no symbolic link and no "..".
// An empty `relative` opens `root` itself again. kLinkOnTheWay for a link,
// kNotBeneath for "..", or the code of a failed open.
Fd OpenFolderBelow(int root, const std::string& relative, HRESULT& result);

}  // namespace platform
