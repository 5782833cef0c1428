// Takes one workbook from its file name to a result code: the tag, the record
// index, the suspicious sheets, the repair of a temporary copy and the final
// container integrity check. Never writes the user's file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "drawing/LineSink.h"
#include "errors/Exception.h"
#include "frontend/ResultCode.h"
#include "frontend/TempFile.h"
#include "platform/held_file.h"

namespace bookmender {

// What a run that found a fix hands on to the backup and the copy back.
struct FixPlan {
  TempFilePtr fixedCopy;                          // the repaired copy
  std::shared_ptr<platform::HeldFile> original;  // the user's file, still open and locked
  std::vector<platform::ByteRange> changes;      // the file ranges the repair wrote
};

// The result code of a failure of the Exception family: its class's entry
// in one table, most derived first; any class not in it is Malformed.
ResultCode CodeOf(const Exception& failure);

// Catches every exception of the Exception family and maps it to its code.
// `plan` is filled in if and only if the result is Fixable; every workbook
// stream the driver opened is closed when it returns. `forFix` opens the
// user's file ready for the final write.
// With `beneath`, the file is the one a scan found below a root
// (platform/beneath.h).
ResultCode CheckAndFix(FixPlan& plan, const std::wstring& fileName, bool forFix,
                       const LineSink& lines = ConsoleLineSink(), const platform::Beneath* beneath = nullptr);

}  // namespace bookmender
