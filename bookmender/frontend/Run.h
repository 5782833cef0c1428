// One run of Bookmender: arguments, banner, check and fix, backup and copy
// back in fix mode, and the final line. Returns the exit code.
#pragma once

#include <string>
#include <vector>

#include "drawing/LineSink.h"
#include "frontend/ResultCode.h"

namespace bookmender {

// `arguments` excludes the program name.
ResultCode RunBookmender(const std::vector<std::wstring>& arguments,
                         const LineSink& lines = ConsoleLineSink());

}  // namespace bookmender
