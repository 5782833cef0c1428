// One run of Bookmender: arguments, banner, check and fix, backup and copy
// back in fix mode, and the final line. Returns the exit code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "drawing/LineSink.h"
#include "frontend/ResultCode.h"

namespace bookmender {

// How one run ended: its code and the backup it made, if any.
struct RunEnd {
  ResultCode code;
  std::optional<std::wstring> backup;
};

// One run. With `servingChannel` (a resident Bookmender's, ServeRequest.h),
// its records go there and the last one is left to the caller, which also
// keeps the channel open; "-result:" among `arguments` is then refused.
RunEnd RunOne(const std::vector<std::wstring>& arguments, const LineSink& lines,
              std::optional<std::intptr_t> servingChannel);

// `arguments` excludes the program name.
ResultCode RunBookmender(const std::vector<std::wstring>& arguments,
                         const LineSink& lines = ConsoleLineSink());

}  // namespace bookmender
