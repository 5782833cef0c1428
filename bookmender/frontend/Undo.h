// The undo of a repair: the backup's content written back into the file, but
// only while the file is still what the repair left and the backup the one it
// made.
#pragma once

#include <optional>
#include <string>

#include "drawing/LineSink.h"
#include "frontend/ResultCode.h"
#include "platform/beneath.h"
#include "platform/held_file.h"

namespace bookmender {

// The suffix ".bak" or ".bakNNN" that makes `backup` the name of a backup of
// `fileName` beside it (as -fix names them); nothing for any other name.
std::optional<std::wstring> BackupSuffix(const std::wstring& fileName, const std::wstring& backup);

// "SHA256:SIZE:BACKUPSHA256" (lowercase digests, the size in decimal without
// leading zeros); false for anything else. The modification time is not part
// of it.
bool ParseUndoProof(const std::wstring& text, platform::RepairState& left);

// Opens `fileName` for writing as a fix does (below `beneath` when given)
// and restores it from the backup `fileName` + `suffix`. Restored when the
// file holds the backup's content (already or now); ChangedSinceRepair,
// BackupMissing, BackupChanged when nothing was written for that reason;
// FileNotFound, AccessDenied, SharingViolation as for a fix; RestoreFailed
// when a write failed, with lines saying what the file holds.
ResultCode UndoRepair(const std::wstring& fileName, const std::wstring& suffix, const platform::RepairState& left,
                      const platform::Beneath* beneath, const LineSink& lines = ConsoleLineSink());

}  // namespace bookmender
