// Termination signals keep their default action, so the program ends as the
// signal asks (a shell reports 128 + N): it has no named file to remove
// first. Deferral blocks the signals; a pending one is delivered when the
// outermost deferral unblocks them. Shelfscan's handler only records the
// signal for the program to end itself.
#include "platform/termination.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>
#include <cstring>

namespace platform {
namespace {

constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int g_deferrals = 0;  // touched by the main program only

sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : kTerminationSignals) sigaddset(&set, sig);
  return set;
}

// The first stop request's signal, 0 before one comes. Atomic, as the
// handler may run on any thread and the request is looked at from several.
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch lock-free atomics");

extern "C" void OnStopRequest(int sig) {
  int none = 0;
  g_stopSignal.compare_exchange_strong(none, sig);
}

}  // namespace

void InstallStopRequests() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStopRequest;
  sigemptyset(&action.sa_mask);
  // Calls under way go on, the wait for a child among them: the request is
  // looked at once they are done.
  action.sa_flags = SA_RESTART;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous;
    ::sigaction(sig, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &action, nullptr);
  }
}

bool StopRequested() { return g_stopSignal.load() != 0; }

void EndAsRequested() {
  const int sig = g_stopSignal.load();
  if (sig != 0) {
    ::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(sig);
  }
  // Only without a request, or should the default action not end us.
  ::_exit(128 + sig);
}

void InstallTerminationHandling() { ::signal(SIGXFSZ, SIG_IGN); }

TerminationDeferral::TerminationDeferral() {
  if (g_deferrals++ == 0) {
    const sigset_t set = TerminationSet();
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
  }
}

TerminationDeferral::~TerminationDeferral() {
  if (--g_deferrals == 0) {
    const sigset_t set = TerminationSet();
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  }
}

}  // namespace platform
