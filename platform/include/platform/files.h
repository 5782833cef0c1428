// Whole-file copies, deletion and temporary files: the file operations the
// repair relies on, each reporting a Win32 error number when it fails.
#pragma once

#include <string>

#include "platform/hresult.h"

namespace platform {

// Copies the whole content of `source` to `target`.
// - failIfExists: the target is created exclusively; an existing target is
//   error 80 (kErrorFileExists). The copy is complete and flushed to disk
//   before it gets its name, so the name never holds a partial copy; a failed
//   copy leaves nothing behind.
// - otherwise: an existing target is overwritten in place (it keeps its
//   identity: inode, owner, permissions, links) and flushed to disk when
//   `flushToDisk` is set; a missing target is created with the source's
//   permission bits.
// Windows copies with CopyFileW, which removes a target it created when the
// copy breaks off, and flushes the target once it is complete.
bool CopyWholeFile(const std::wstring& source, const std::wstring& target, bool failIfExists,
                   Win32Error& error, bool flushToDisk = true);

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

// Appends `bytes` to the file `path`, created when missing, with `header`
// before them when the file is empty. The file is held without sharing while
// this one piece is written, so that two writers cannot interleave or both
// write the header. False when the file cannot be opened or another program
// holds it; nothing is written then.
bool AppendWithoutSharing(const std::wstring& path, const std::string& header, const std::string& bytes);

}  // namespace platform
