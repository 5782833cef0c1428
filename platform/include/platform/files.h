// Deletion and temporary files: the file operations the programs rely on
// beside the held workbook (platform/held_file.h) and the logs
// (platform/log_file.h).
#pragma once

#include <string>

#include "platform/hresult.h"

namespace platform {

// Deletes a file; true on success.
bool DeleteFileAt(const std::wstring& path);

// The system's folder for temporary files, ending with a separator: TMPDIR
// when it names a folder, else /tmp; GetTempPathW on Windows.
std::wstring TemporaryFolder();

// Reserves a new empty file `folder` + prefix + 1 to 4 hexadecimal digits +
// ".tmp", created exclusively so that no other process can take it
// (GetTempFileNameW on Windows).
bool ReserveTemporaryFile(const std::wstring& folder, const std::wstring& prefix, std::wstring& path,
                          Win32Error& error);

}  // namespace platform
