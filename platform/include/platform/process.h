// This program's own arguments and folder, and running another program to
// its end. One implementation per system (posix/process.cpp,
// win32/process.cpp).
#pragma once

#include <string>
#include <vector>

#include "platform/hresult.h"
#include "platform/log_file.h"

namespace platform {

// The system's preferred folder separator.
#ifdef _WIN32
inline constexpr wchar_t kPreferredSeparator = L'\\';
#else
inline constexpr wchar_t kPreferredSeparator = L'/';
#endif

// The arguments after the program name, as wide text. Linux decodes argv
// (undecodable bytes escaped, see text.h); Windows splits the command line the
// system keeps (GetCommandLineW, CommandLineToArgvW), which holds every
// character, and does not look at argc and argv.
std::vector<std::wstring> ProgramArguments(int argc, char** argv);

// The folder of this program's executable, without a trailing separator
// except for the root folder "/", or "" when it cannot be read in full.
std::wstring OwnExecutableFolder();

// Whether `executable` is a file this process may start: a regular file that
// the effective user may execute (an execute bit for root too) on Linux, a
// file that opens for FILE_EXECUTE on Windows. Else false with the system
// error number (2 or 3 when it is missing, 5 for a folder or a file without
// the right).
bool CanStart(const std::wstring& executable, Win32Error& error);

// One argument for a child. Linux hands each argument over unchanged as one
// element of the argument vector. Windows has a single command line text:
// each argument follows a blank, in double quotation marks when `quoted`,
// never escaped, and the text names no program of its own.
struct ChildArgument {
  std::wstring text;
  bool quoted = false;
};

// Starts `executable` with `arguments`, standard input none, standard output
// and error both appending to the open log `output` (kChildOutput), or the
// null device when there is none, and waits for it without a time limit. The
// child gets its own copy of the log's descriptor or handle for this run
// only. Returns its exit code as a signed 32-bit number; -1 when it could not
// be started or its code not read; on Linux -N when signal N ended it.
int RunAndWait(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
               const LogFile* output);

}  // namespace platform
