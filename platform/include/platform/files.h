// The temporary folder, where the private scratch files are made
// (platform/scratch_file.h, and a child's output in platform/process.h).
#pragma once

#include <string>

namespace platform {

// The system's folder for temporary files, ending with a separator: TMPDIR
// when it names a folder, else /tmp; GetTempPathW on Windows.
std::wstring TemporaryFolder();

}  // namespace platform
