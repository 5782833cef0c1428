// Takes one workbook from its file name to a result code: the tag, the record
// index, the suspicious sheets, the repair of a temporary copy and the final
// container integrity check. Never writes the user's file.
#pragma once

#include <string>

#include "drawing/LineSink.h"
#include "frontend/ResultCode.h"
#include "frontend/TempFile.h"

namespace bookmender {

// Catches every exception of the Exception family and maps it to its code.
// `fixedCopy` is assigned if and only if the result is Fixable; every workbook
// the driver opened is closed when it returns.
ResultCode CheckAndFix(TempFilePtr& fixedCopy, const std::wstring& fileName,
                       const LineSink& lines = ConsoleLineSink());

}  // namespace bookmender
