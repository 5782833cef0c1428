// Resident children on POSIX: a request pipe onto the child's standard
// input, a record pipe whose write end goes to the child alone (by its spawn's
// file actions), and poll(2) on the record pipe for the reply.
#include "platform/resident.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <dirent.h>

#include "fd.h"
#include "spawn.h"

namespace platform {

namespace {

// Room for every record of one request and a request of any length, so that
// neither side's write waits on the other's reading where the system lets a
// pipe grow that far.
constexpr int kPipeRoom = 1 << 20;

void CloseIf(std::intptr_t& fd) {
  if (fd >= 0) ::close(static_cast<int>(fd));
  fd = -1;
}

}  // namespace

ResidentChild::~ResidentChild() { end(); }

void ResidentChild::closeChildEnds() {
  CloseIf(requestsRead_);
  CloseIf(recordsWrite_);
}

void ResidentChild::closeAll() {
  closeChildEnds();
  CloseIf(requests_);
  CloseIf(records_);
}

bool ResidentChild::prepare(Win32Error& error) {
  end();
  int requests[2];
  int records[2];
  if (::pipe2(requests, O_CLOEXEC) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  requestsRead_ = requests[0];
  requests_ = requests[1];
  if (::pipe2(records, O_CLOEXEC) != 0) {
    error = Win32ErrorFromErrno(errno);
    closeAll();
    return false;
  }
  records_ = records[0];
  recordsWrite_ = records[1];
#ifdef F_SETPIPE_SZ
  // Where the user's limits keep pipes small, the default room still holds
  // any request and any record of a name of PATH_MAX.
  ::fcntl(requests[1], F_SETPIPE_SZ, kPipeRoom);
  ::fcntl(records[1], F_SETPIPE_SZ, kPipeRoom);
#endif
  // Read as it comes, never waiting past a time limit.
  if (::fcntl(records[0], F_SETFL, ::fcntl(records[0], F_GETFL) | O_NONBLOCK) != 0) {
    error = Win32ErrorFromErrno(errno);
    closeAll();
    return false;
  }
  return true;
}

std::wstring ResidentChild::channelName() const { return std::to_wstring(recordsWrite_); }

bool ResidentChild::start(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
                          const ScratchOutput* output) {
  if (requestsRead_ < 0 || recordsWrite_ < 0) return false;
  const int outputFd = output != nullptr && output->isOpen() ? static_cast<int>(output->nativeHandle()) : -1;
  const pid_t pid = SpawnChild(executable, arguments, static_cast<int>(requestsRead_), outputFd,
                               static_cast<int>(recordsWrite_));
  // The child's ends are its alone: the end of its input is this side's
  // closing it, the end of its records its own ending.
  closeChildEnds();
  if (pid < 0) {
    closeAll();
    return false;
  }
  process_ = pid;
  return true;
}

bool ResidentChild::running() const { return process_ >= 0; }

ResidentChild::Sent ResidentChild::send(const std::string& request) {
  if (process_ < 0 || requests_ < 0) return Sent::kNotTaking;
  // Anything written after the last request's reply would be read as part
  // of this one's: such a child is sent nothing more.
  char extra = 0;
  if (::read(static_cast<int>(records_), &extra, 1) != -1 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
    return Sent::kNotTaking;
  }
  if (WriteWithoutPipeSignal(static_cast<int>(requests_), request)) return Sent::kSent;
  return errno == EPIPE ? Sent::kNotTaking : Sent::kFailed;
}

ResidentChild::Served ResidentChild::await(std::string& records,
                                           const std::function<bool(const std::string&)>& complete,
                                           std::size_t most, ChildTimeLimit limit, ChildEnd& end) {
  using Clock = std::chrono::steady_clock;
  const bool timed = limit > ChildTimeLimit::zero();
  const Clock::time_point deadline = Clock::now() + limit;
  const pid_t pid = static_cast<pid_t>(process_);
  const auto reap = [this, pid, &end](ChildTimeLimit within) {
    int status = 0;
    bool timedOut = false;
    end = WaitWithin(pid, within, status, timedOut) ? EndFromStatus(status, true) : ChildEnd();
    process_ = -1;
    closeAll();
  };
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(records_), buffer, sizeof buffer);
    if (n > 0) {
      records.append(buffer, static_cast<std::size_t>(n));
      if (complete(records)) return Served::kComplete;
      if (records.size() > most) {
        // No child of ours writes that much: it is ended as one that
        // crashed, by SIGKILL.
        ::kill(pid, SIGKILL);
        reap(ChildTimeLimit::zero());
        end.timedOut = false;
        return Served::kEnded;
      }
      continue;
    }
    if (n == 0) {
      // Every write end is gone: the child has ended (or closed it, and is
      // about to).
      int status = 0;
      if (!WaitUntil(pid, std::nullopt, status)) {
        end = ChildEnd();
      } else {
        end = EndFromStatus(status, false);
      }
      process_ = -1;
      closeAll();
      return Served::kEnded;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      ::kill(pid, SIGKILL);
      reap(ChildTimeLimit::zero());
      end.started = false;
      return Served::kEnded;
    }
    int wait = -1;
    if (timed) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        // Ended as a run past its limit is: asked first, killed after the
        // grace. What it wrote meanwhile still counts as read.
        ::kill(pid, SIGTERM);
        reap(kChildGrace);
        return Served::kTimedOut;
      }
      wait = static_cast<int>(std::min<long long>(left, 60000));
    }
    pollfd ready{static_cast<int>(records_), POLLIN, 0};
    ::poll(&ready, 1, wait);
  }
}

void ResidentChild::end() {
  closeChildEnds();
  CloseIf(requests_);
  if (process_ >= 0) {
    const pid_t pid = static_cast<pid_t>(process_);
    int status = 0;
    if (!WaitUntil(pid, std::chrono::steady_clock::now() + kChildGrace, status)) {
      ::kill(pid, SIGKILL);
      WaitUntil(pid, std::nullopt, status);
    }
    process_ = -1;
  }
  CloseIf(records_);
}

bool ReadRequestLine(std::string& line, std::size_t most) {
  line.clear();
  // The parent sends the next request only once this one's records are
  // complete, so one read never takes more than one line; two are a broken
  // request.
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    line.append(buffer, static_cast<std::size_t>(n));
    if (line.back() == '\n') return line.find('\n') == line.size() - 1;
    if (line.size() > most) return false;
  }
}

void StopTakingRequests() {
  int null = OpenRetrying("/dev/null", O_RDONLY);
  if (null < 0) null = OpenRetrying("/", O_RDONLY | O_DIRECTORY);
  if (null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::close(null);
  } else {
    ::close(STDIN_FILENO);
  }
}

namespace {

// FNV-1a over the blocked set and each signal's handler and flags.
std::uint64_t SignalDigest() {
  std::uint64_t digest = 0xcbf29ce484222325ull;
  const auto add = [&digest](std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
      digest = (digest ^ ((value >> (8 * i)) & 0xFF)) * 0x100000001b3ull;
    }
  };
  sigset_t blocked;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  for (int sig = 1; sig < 32; ++sig) add(static_cast<std::uint64_t>(sigismember(&blocked, sig) == 1));
  for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGCHLD, SIGXFSZ, SIGUSR1, SIGUSR2}) {
    struct sigaction action {};
    ::sigaction(sig, nullptr, &action);
    add(reinterpret_cast<std::uintptr_t>(action.sa_handler));
    add(static_cast<std::uint64_t>(static_cast<unsigned>(action.sa_flags)));
  }
  return digest;
}

}  // namespace

Footprint CurrentFootprint() {
  Footprint footprint;
  footprint.signals = SignalDigest();
  if (DIR* folder = ::opendir("/proc/self/fd")) {
    std::uint64_t entries = 0;
    while (const dirent* entry = ::readdir(folder)) {
      if (entry->d_name[0] != '.') ++entries;
    }
    ::closedir(folder);
    // Less the listing's own descriptor.
    footprint.handles = entries > 0 ? entries - 1 : 0;
  }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
  const struct mallinfo2 heap = ::mallinfo2();
  footprint.heapBytes = heap.uordblks + heap.hblkhd;
#endif
  if (std::FILE* statm = std::fopen("/proc/self/statm", "re")) {
    unsigned long long size = 0;
    unsigned long long resident = 0;
    if (std::fscanf(statm, "%llu %llu", &size, &resident) == 2) {
      footprint.residentBytes = resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    }
    std::fclose(statm);
  }
  return footprint;
}

void ReleaseFreeMemory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

}  // namespace platform
