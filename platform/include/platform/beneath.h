// Reaching a file that a scan found below one of its search paths, so that
// no user who may write inside the tree can lead a privileged run anywhere
// else: no symbolic link is followed below the search path (on Windows no
// reparse point), and the file reached must be the one the scan saw.
//
// The search path itself is resolved following only the links that belong
// to root or to the user running the program (the kernel's rule for links
// in shared folders): an administrator's own aliases work, a link that
// another user planted does not.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/hresult.h"

namespace platform {

// Which file: device and inode on Linux, volume serial number and file
// index on Windows.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t file = 0;
  bool operator==(const FileIdentity& other) const { return device == other.device && file == other.file; }
};

// "DEVICE:FILE" in decimal, and back; false for any other text.
std::wstring FormatIdentity(const FileIdentity& identity);
bool ParseIdentity(const std::wstring& text, FileIdentity& identity);

// Where to find a file: below `root`, and, when given, the file of that
// identity.
struct Beneath {
  std::wstring root;
  std::optional<FileIdentity> identity;
};

// The opens below a root answer these, besides the usual results:
// a symbolic link or reparse point lies on the way below the root, or is
// the file's own name (ERROR_CANT_RESOLVE_FILENAME)...
inline constexpr HRESULT kLinkOnTheWay = static_cast<HRESULT>(0x80070781u);
// ...the name leads to another file than the one the scan saw
// (ERROR_FILE_INVALID)...
inline constexpr HRESULT kNotTheFileSeen = static_cast<HRESULT>(0x800703EEu);
// ...the path does not lie below the root at all (ERROR_BAD_PATHNAME).
inline constexpr HRESULT kNotBeneath = static_cast<HRESULT>(0x800700A1u);
// ...a link on the way to the root belongs to another user (ERROR_ACCESS_DENIED
// would hide it; ERROR_NOT_OWNER).
inline constexpr HRESULT kUntrustedLink = static_cast<HRESULT>(0x80070120u);

// `path` with every symbolic link on the way resolved, following only links
// that belong to root or to this process's effective user; "." and ".."
// are resolved as the folders they name. S_OK, kUntrustedLink, or the
// structured-storage code of a failed open (STG_E_PATHNOTFOUND, ...).
HRESULT ResolveTrusted(const std::wstring& path, std::wstring& resolved);

// The identity of what `path` names now, a final link not followed. False
// with the system's error.
bool IdentityOf(const std::wstring& path, FileIdentity& identity, Win32Error& error);

// Whether `path` itself is a symbolic link (a reparse point) now.
bool IsLinkNow(const std::wstring& path);

// Whether the file's own name or a folder on its way below `root` is now a
// symbolic link (on Windows a reparse point): for saying why a file handed
// over was not reached.
bool LinkBelowRoot(const std::wstring& root, const std::wstring& path);

// The part of `path` below `root` (without a leading separator), or
// nothing when `path` does not lie below it.
std::optional<std::wstring> BelowRoot(const std::wstring& root, const std::wstring& path);

}  // namespace platform
