// Termination signals: the handler removes the scratch file and then lets the
// signal take its default course, so the program ends as the signal asks
// (a shell reports 128 + N). Deferral blocks the signals; a pending one is
// delivered when the outermost deferral unblocks them. Shelfscan's handler
// only records the signal for the program to end itself.
#include "platform/termination.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/text.h"

namespace platform {
namespace {

constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Written only while the signals are blocked, read only by the handler.
char g_scratch[4096];
volatile sig_atomic_t g_hasScratch = 0;
int g_deferrals = 0;  // touched by the main program only

sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : kTerminationSignals) sigaddset(&set, sig);
  return set;
}

extern "C" void OnTermination(int sig) {
  if (g_hasScratch) ::unlink(g_scratch);
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  // Delivered with its default action as soon as the handler returns and the
  // signal is unblocked again.
  ::raise(sig);
}

// Blocks the termination signals for the life of the object.
class Blocked {
 public:
  Blocked() {
    const sigset_t set = TerminationSet();
    ::sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~Blocked() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
  Blocked(const Blocked&) = delete;
  Blocked& operator=(const Blocked&) = delete;

 private:
  sigset_t old_;
};

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

void InstallTerminationHandling() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnTermination;
  // The other termination signals wait while one is handled.
  action.sa_mask = TerminationSet();
  for (const int sig : kTerminationSignals) {
    struct sigaction previous;
    ::sigaction(sig, nullptr, &previous);
    // A signal ignored by whoever started us (nohup, a service manager)
    // stays ignored.
    if (previous.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &action, nullptr);
  }
  ::signal(SIGXFSZ, SIG_IGN);
}

void SetScratchFile(const std::wstring& path) {
  const Blocked blocked;
  const std::string native = EncodeNative(path);
  if (native.empty() || native.size() >= sizeof g_scratch) {
    // Too long for the handler's buffer: it is left to the normal cleanup.
    g_hasScratch = 0;
    return;
  }
  std::memcpy(g_scratch, native.c_str(), native.size() + 1);
  g_hasScratch = 1;
}

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
