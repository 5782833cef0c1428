// Console control events (Ctrl-C, Ctrl-Break, closing the console, log-off
// and shutdown) arrive on a thread of their own. The handler takes the lock
// that a deferral holds, so it waits for the step under way; then it leaves
// the event to the default handler, which ends the process (the scratch
// copy goes with its handle). Shelfscan's handler only records the event for the program to
// end itself.
#include "platform/termination.h"

#include <windows.h>

namespace platform {
namespace {

// Made on first use, so that deferrals work before (or without) the
// handler's installation, as in tests.
CRITICAL_SECTION& Lock() {
  struct Section {
    Section() { InitializeCriticalSection(&section); }
    CRITICAL_SECTION section;
  };
  static Section lock;
  return lock.section;
}

BOOL WINAPI OnControlEvent(DWORD) {
  EnterCriticalSection(&Lock());
  // Kept: the process ends with the lock held, so no step starts again.
  return FALSE;
}

// The first stop request's control event, -1 before one comes.
volatile LONG g_stopEvent = -1;

BOOL WINAPI OnStopRequest(DWORD event) {
  ::InterlockedCompareExchange(&g_stopEvent, static_cast<LONG>(event), -1);
  // Closing the console, log-off and shut-down end the process as soon as
  // the handler returns: this thread waits instead, until the program ends
  // itself (or the system's grace period does). Ctrl-C and Ctrl-Break leave
  // the program running.
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void InstallStopRequests() { SetConsoleCtrlHandler(OnStopRequest, TRUE); }

bool StopRequested() { return ::InterlockedCompareExchange(&g_stopEvent, -1, -1) != -1; }

void EndAsRequested() { ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT)); }

void InstallTerminationHandling() {
  Lock();
  SetConsoleCtrlHandler(OnControlEvent, TRUE);
}

// Critical sections are recursive: nested deferrals simply nest.
TerminationDeferral::TerminationDeferral() { EnterCriticalSection(&Lock()); }
TerminationDeferral::~TerminationDeferral() { LeaveCriticalSection(&Lock()); }

}  // namespace platform
