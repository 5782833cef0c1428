// Requests to end the program (SIGINT, SIGTERM, SIGHUP, SIGQUIT; Ctrl-C,
// Ctrl-Break and closing the console on Windows): the registered scratch file
// is removed and the program ends as the request asks. A request that comes
// while a `TerminationDeferral` lives waits until the last one ends, so that
// a step that must not stop half-way (the backup, the copy back) completes
// first.
#pragma once

#include <string>

namespace platform {

// Installs the handlers once, before anything is written. On POSIX a
// file-size limit then reaches the program as the write error EFBIG instead
// of ending it with SIGXFSZ.
void InstallTerminationHandling();

// The file removed when the program is asked to end; an empty path clears it.
// One at a time: a later call replaces the earlier path.
void SetScratchFile(const std::wstring& path);

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
