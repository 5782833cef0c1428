// The backup beside the original and the copy of the repair into it.
#pragma once

#include <string>

#include "frontend/CheckAndFix.h"
#include "drawing/LineSink.h"
#include "frontend/ResultCode.h"
#include "platform/held_file.h"

namespace bookmender {

// Copies the held original to the first free name of P.bak, P.bak001 ...
// P.bak999 beside it; an existing backup is never overwritten. True when a
// backup was made; `backup` is then its name.
bool MakeBackupCopy(platform::HeldFile& original, const std::wstring& fileName, std::wstring& backup,
                    const LineSink& lines = ConsoleLineSink());

// Writes the repair into the original (`fileName`, backed up as `backup`).
// Fixable when it is in place; SharingViolation when another program holds
// a lock on the file; CopyBackFailed otherwise, with lines that say what was
// or was not written.
ResultCode ReplaceOriginal(const FixPlan& plan, const std::wstring& fileName, const std::wstring& backup,
                           const LineSink& lines = ConsoleLineSink());

}  // namespace bookmender
