// This program's own arguments and folder, and running another program to
// its end. One implementation per system (posix/process.cpp,
// win32/process.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/child_result.h"
#include "platform/hresult.h"
#include "platform/log_file.h"

namespace platform {

// The system's preferred folder separator.
#ifdef _WIN32
inline constexpr wchar_t kPreferredSeparator = L'\\';
#else
inline constexpr wchar_t kPreferredSeparator = L'/';
#endif

// First thing at start: opens the null device onto any of the standard
// descriptors 0, 1 and 2 that is closed, so that no file the program opens
// can take one of their numbers and receive what is written to standard
// output or error (cron jobs and service managers may start programs so).
// Where the null device cannot be opened, the root folder read-only stands
// in: reads and writes on it fail. Windows numbers no handles this way, and
// its standard handles stay what they are.
void KeepStandardDescriptorsTaken();
// Whether standard input was closed when KeepStandardDescriptorsTaken() ran:
// the null device in its place stands for no input at all.
bool StandardInputWasClosed();

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

// A private file without a name for one child's output, gone when it is
// closed: Linux makes it with O_TMPFILE in the temporary folder (an
// anonymous memory file where the file system cannot), so that no other
// program can find, open or swap it. Windows has no files without names: a
// new file in the user's own temporary folder, opened sharing nothing and
// deleted on close.
class ScratchOutput {
 public:
  ScratchOutput() = default;
  ~ScratchOutput();
  ScratchOutput(const ScratchOutput&) = delete;
  ScratchOutput& operator=(const ScratchOutput&) = delete;

  // Makes the file (closing one made before). False with the system's error.
  bool create(Win32Error& error);
  bool isOpen() const;
  void close();
  // Everything written into it so far, from its start. False with the
  // system's error.
  bool read(std::string& bytes, Win32Error& error) const;
  // Empties it and puts the position shared with a child that writes into
  // it back at the start, for the next output. False with the system's error.
  bool clear(Win32Error& error);
  // The descriptor on Linux, the HANDLE on Windows (not inheritable).
  std::intptr_t nativeHandle() const { return handle_; }

 private:
  std::intptr_t handle_ = -1;  // none: also INVALID_HANDLE_VALUE on Windows
};

// How a child run ended.
struct ChildEnd {
  bool started = false;  // false: it could not be started or waited for
  bool exited = false;   // it ended with an exit code; else (Linux) a signal ended it
  int code = -1;         // the exit code (signed 32-bit) when it exited; else the signal's number (0: none)
  bool timedOut = false;  // it ran past its time limit and was ended for it

  // The number RunAndWait gives for it: the code, -1 when it did not start
  // or gave no code, -N for signal N.
  int result() const { return !started ? -1 : exited ? code : code > 0 ? -code : -1; }
};

// Starts `executable` with `arguments`, standard input none, standard output
// and error both appending to the open log `output` (kChildOutput), or the
// null device when there is none, and waits for it without a time limit. The
// child gets its own copy of the log's descriptor or handle for this run
// only. Returns its exit code as a signed 32-bit number; -1 when it could not
// be started or its code not read; on Linux -N when signal N ended it.
int RunAndWait(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
               const LogFile* output);
// A child's time limit; zero for none. A child still running when it ends
// is asked to end as a termination request does (Linux SIGTERM, whose
// handling keeps a user's file whole), and killed when it has not ended
// after `kChildGrace` more; Windows has no such request for a child and ends
// it at once (TerminateProcess), as a kill does.
using ChildTimeLimit = std::chrono::milliseconds;
inline constexpr std::chrono::milliseconds kChildGrace{5000};

// The same, saying how the child ended, within `limit`. With `result`, the
// child also gets that pipe's write end (its number named in `arguments` by
// the caller), which this process closes as soon as the child has started or
// failed to.
ChildEnd RunChild(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
                  const LogFile* output, ChildTimeLimit limit = ChildTimeLimit::zero(),
                  ResultPipe* result = nullptr);
// The same with standard output and error both written into `output`.
// Several threads may run children at once, with outputs of either kind or
// the null device: each child gets the copies of its own output only.
ChildEnd RunChild(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
                  const ScratchOutput& output, ChildTimeLimit limit = ChildTimeLimit::zero(),
                  ResultPipe* result = nullptr);

}  // namespace platform
