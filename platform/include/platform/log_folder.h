// The folder the logs go into. Run as a privileged user, a scan must not
// write its logs where another user can read them, swap them for forged
// ones, or choose where they go: a missing folder is made for its owner
// alone, and an existing one is used only when no other user can replace it
// or anything on the way to it.
#pragma once

#include <string>

namespace platform {

enum class LogFolderFault {
  kNone,
  kSystem,              // it could not be made or reached: `text` is the system's reason
  kLink,                // the folder's own name is a symbolic link (a reparse point on Windows)
  kNotOwned,            // it belongs to a user other than root and the running user
  kOpenToOthers,        // others may write to it, and it is not the running user's own
  kPlaceNotOwned,       // `where`, a folder on the way, belongs to another user
  kPlaceOpenToOthers,   // others may write to `where`, a folder on the way without the sticky bit
  kLinkNotOwned,        // `where`, a symbolic link on the way, belongs to another user
};

struct LogFolderProblem {
  LogFolderFault fault = LogFolderFault::kNone;
  std::wstring where;  // the folder or link on the way, as reached
  std::wstring text;   // kSystem: the system's reason
};

// Makes `folder` when it is missing (its last name only: the parent must
// exist), with access for its owner alone (0700 whatever the umask; on
// Windows a protected access list for the user, the administrators and the
// system), or checks the folder that is there. On Linux every name on the way
// is looked up afresh from the root folder, following links as the system
// would, and the folder is refused when
//  - its own name is a symbolic link;
//  - it belongs to a user other than root and the one this process runs as,
//    or others (group or world) may write to it and it is not that user's;
//  - a folder on the way belongs to such a user, or others may write to it
//    without its sticky bit (they could put another folder in its place);
//  - a link on the way belongs to such a user.
// Windows refuses a folder that is a reparse point and checks no owners.
// False with the problem; nothing is made then, beyond the folder itself when
// a later check failed.
bool PrepareLogFolder(const std::wstring& folder, LogFolderProblem& problem);

}  // namespace platform
