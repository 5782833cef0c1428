// The backup beside the original and the copy of the fixed file over it.
#pragma once

#include <string>

#include "drawing/LineSink.h"

namespace bookmender {

// Copies the original to the first free name of P.bak, P.bak001 ... P.bak999;
// an existing backup is never overwritten. True when a backup was made.
bool MakeBackupCopy(const std::wstring& original, const LineSink& lines = ConsoleLineSink());

// Copies the fixed copy over the original. True on success.
bool ReplaceOriginal(const std::wstring& fixedCopy, const std::wstring& original,
                     const LineSink& lines = ConsoleLineSink());

}  // namespace bookmender
