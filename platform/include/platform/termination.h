// Requests to end the program (SIGINT, SIGTERM, SIGHUP, SIGQUIT; Ctrl-C,
// Ctrl-Break and closing the console on Windows) end it as the request asks;
// its scratch files have no names and go with it. A request that comes
// while a `TerminationDeferral` lives waits until the last one ends, so that
// a step that must not stop half-way (the backup, the copy back) completes
// first.
#pragma once

namespace platform {

// Installs the handling once, before anything is written. On POSIX a
// file-size limit then reaches the program as the write error EFBIG instead
// of ending it with SIGXFSZ.
void InstallTerminationHandling();

// Shelfscan's handling instead of the above: a request to end (SIGINT,
// SIGTERM, SIGHUP; a console control event on Windows) is only recorded, so
// that the program finishes the step under way and ends where it chooses, by
// EndAsRequested. Signals ignored by whoever started the program stay
// ignored.
void InstallStopRequests();
// Whether such a request has come.
bool StopRequested();
// Ends the program as the first recorded request would have: the signal's
// own default action (a shell reports 128 + N); on Windows the exit code of
// the default console control handler, STATUS_CONTROL_C_EXIT.
[[noreturn]] void EndAsRequested();

// Holds termination requests while it lives; they take effect when the
// outermost deferral ends.
class TerminationDeferral {
 public:
  TerminationDeferral();
  ~TerminationDeferral();
  TerminationDeferral(const TerminationDeferral&) = delete;
  TerminationDeferral& operator=(const TerminationDeferral&) = delete;
};

}  // namespace platform
