// Starting children on Windows, shared by the runs of one file (process.cpp)
// and the resident children (resident.cpp). Internal to the platform library.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/process.h"

namespace platform {

// Serialises the making of inheritable handles and the start of a child:
// CreateProcessW hands a child every inheritable handle of this process, so
// one made for another thread's child must not exist while this child
// starts. One lock for every kind of child.
CRITICAL_SECTION& StartLock();

// Holds the start lock for its lifetime.
class StartLockHeld {
 public:
  StartLockHeld() { ::EnterCriticalSection(&StartLock()); }
  ~StartLockHeld() { ::LeaveCriticalSection(&StartLock()); }
  StartLockHeld(const StartLockHeld&) = delete;
  StartLockHeld& operator=(const StartLockHeld&) = delete;
};

// The children's output, made under the start lock: an inheritable copy of
// `handle`, or the null device (append-only, inheritable) when it is
// INVALID_HANDLE_VALUE. INVALID_HANDLE_VALUE when neither can be had.
HANDLE OpenOutput(HANDLE handle);

// The command line text for `arguments`, each after a blank; it names no
// program of its own.
std::wstring CommandLine(const std::vector<ChildArgument>& arguments);

// How the ended `process` ended: its exit code, or none when `timedOut` (it
// was ended for its time limit). Not started when the code cannot be read.
ChildEnd EndOfProcess(HANDLE process, bool timedOut);

}  // namespace platform
