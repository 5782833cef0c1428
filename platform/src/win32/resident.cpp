// Resident children on Windows: two anonymous pipes, the request pipe's read
// end the child's standard input and the record pipe's write end named on
// its command line, both inheritable only while that child starts. Anonymous
// pipes have no overlapped reads, so a time limit is a timer that ends the
// child, which breaks the pipe under the blocking read.
#include "platform/resident.h"

#include <windows.h>
#include <malloc.h>
#include <psapi.h>

#include <algorithm>

#include "child_start.h"
#include "write_all.h"

namespace platform {

namespace {

// Room for every record of one request and a request of any usual length,
// so that neither side's write waits on the other's reading.
constexpr DWORD kPipeRoom = 1 << 20;

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t AsValue(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

void CloseIf(std::intptr_t& handle) {
  if (AsHandle(handle) != INVALID_HANDLE_VALUE) ::CloseHandle(AsHandle(handle));
  handle = -1;
}

// Ends the child at its deadline from a timer's thread; the blocking read
// of its records then finds the pipe broken.
struct Deadline {
  HANDLE process = nullptr;
  volatile LONG passed = 0;
};

VOID CALLBACK EndAtDeadline(PVOID context, BOOLEAN) {
  auto* deadline = static_cast<Deadline*>(context);
  // A child that has already ended cannot be ended again: it ended by
  // itself, as Launch tells the two apart.
  if (::TerminateProcess(deadline->process, 1)) ::InterlockedExchange(&deadline->passed, 1);
}

// A timer armed for `limit` (none when zero), stopped, with its callback
// finished, when this goes.
class DeadlineTimer {
 public:
  DeadlineTimer(HANDLE process, ChildTimeLimit limit) {
    deadline_.process = process;
    if (limit <= ChildTimeLimit::zero()) return;
    const auto due = static_cast<DWORD>(std::min<ChildTimeLimit::rep>(limit.count(), INFINITE - 1));
    if (!::CreateTimerQueueTimer(&timer_, nullptr, EndAtDeadline, &deadline_, due, 0, WT_EXECUTEONLYONCE)) {
      timer_ = nullptr;
      failed_ = true;
    }
  }
  ~DeadlineTimer() { stop(); }
  DeadlineTimer(const DeadlineTimer&) = delete;
  DeadlineTimer& operator=(const DeadlineTimer&) = delete;

  bool failed() const { return failed_; }
  // Stops it; whether it had ended the child first.
  bool stop() {
    if (timer_ != nullptr) {
      // INVALID_HANDLE_VALUE: returns once a running callback has finished.
      ::DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE);
      timer_ = nullptr;
    }
    return ::InterlockedCompareExchange(&deadline_.passed, 0, 0) != 0;
  }

 private:
  Deadline deadline_;
  HANDLE timer_ = nullptr;
  bool failed_ = false;
};

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
  HANDLE read = INVALID_HANDLE_VALUE;
  HANDLE write = INVALID_HANDLE_VALUE;
  if (!::CreatePipe(&read, &write, nullptr, kPipeRoom)) {
    error = ::GetLastError();
    return false;
  }
  requestsRead_ = AsValue(read);
  requests_ = AsValue(write);
  if (!::CreatePipe(&read, &write, nullptr, kPipeRoom)) {
    error = ::GetLastError();
    closeAll();
    return false;
  }
  records_ = AsValue(read);
  recordsWrite_ = AsValue(write);
  return true;
}

std::wstring ResidentChild::channelName() const {
  return std::to_wstring(static_cast<unsigned long long>(static_cast<std::uintptr_t>(recordsWrite_)));
}

bool ResidentChild::start(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
                          const ScratchOutput* output) {
  if (AsHandle(requestsRead_) == INVALID_HANDLE_VALUE || AsHandle(recordsWrite_) == INVALID_HANDLE_VALUE) return false;
  std::wstring commandLine = CommandLine(arguments);
  PROCESS_INFORMATION process{};
  bool started = false;
  {
    const StartLockHeld held;
    const HANDLE inherited =
        OpenOutput(output != nullptr && output->isOpen() ? AsHandle(output->nativeHandle()) : INVALID_HANDLE_VALUE);
    const bool inheritable =
        ::SetHandleInformation(AsHandle(requestsRead_), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) &&
        ::SetHandleInformation(AsHandle(recordsWrite_), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = AsHandle(requestsRead_);
    startup.hStdOutput = inherited == INVALID_HANDLE_VALUE ? nullptr : inherited;
    startup.hStdError = startup.hStdOutput;
    // As process.cpp starts its children, for the same reason.
    started = inheritable && !executable.empty() &&
              ::CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
                               nullptr, nullptr, &startup, &process) != 0;
    if (inherited != INVALID_HANDLE_VALUE) ::CloseHandle(inherited);
    // Before the lock goes: no other child may get them. From here on the
    // end of the child's input is this side's closing it, the end of its
    // records its own ending.
    closeChildEnds();
  }
  if (!started) {
    closeAll();
    return false;
  }
  ::CloseHandle(process.hThread);
  process_ = AsValue(process.hProcess);
  return true;
}

bool ResidentChild::running() const { return AsHandle(process_) != INVALID_HANDLE_VALUE; }

ResidentChild::Sent ResidentChild::send(const std::string& request) {
  if (!running() || AsHandle(requests_) == INVALID_HANDLE_VALUE) return Sent::kNotTaking;
  // Anything written after the last request's reply would be read as part
  // of this one's (and a broken pipe means it has ended): such a child is
  // sent nothing more.
  DWORD waiting = 0;
  if (!::PeekNamedPipe(AsHandle(records_), nullptr, 0, nullptr, &waiting, nullptr) || waiting != 0) {
    return Sent::kNotTaking;
  }
  if (WriteAll(AsHandle(requests_), request)) return Sent::kSent;
  // No reader: the child closed its input or has ended.
  const DWORD error = ::GetLastError();
  return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ? Sent::kNotTaking
                                                                                                    : Sent::kFailed;
}

ResidentChild::Served ResidentChild::await(std::string& records,
                                           const std::function<bool(const std::string&)>& complete,
                                           std::size_t most, ChildTimeLimit limit, ChildEnd& end) {
  if (!running()) {
    // Never the value that stands for this process itself.
    end = ChildEnd();
    return Served::kEnded;
  }
  const HANDLE process = AsHandle(process_);
  // Waits for the child to end, takes its end and lets everything go.
  const auto reap = [this, process, &end](bool timedOut) {
    ::WaitForSingleObject(process, INFINITE);
    end = EndOfProcess(process, timedOut);
    ::CloseHandle(process);
    process_ = -1;
    closeAll();
  };
  DeadlineTimer timer(process, limit);
  if (timer.failed()) {
    // A limit that cannot be kept: the child is not left to run without it.
    ::TerminateProcess(process, 1);
    reap(false);
    end.started = false;
    return Served::kEnded;
  }
  enum class Outcome { kComplete, kBroken, kFlooded, kFailed } outcome;
  char buffer[16384];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(AsHandle(records_), buffer, sizeof buffer, &got, nullptr)) {
      // Every write end is gone: the child has ended (or closed it, and is
      // about to), by itself or at its deadline.
      outcome = ::GetLastError() == ERROR_BROKEN_PIPE ? Outcome::kBroken : Outcome::kFailed;
      break;
    }
    records.append(buffer, got);
    if (complete(records)) {
      outcome = Outcome::kComplete;
      break;
    }
    if (records.size() > most) {
      outcome = Outcome::kFlooded;
      break;
    }
  }
  if (outcome == Outcome::kComplete) {
    // The deadline may have come with the last record; then the child is
    // gone all the same, ended for its limit.
    if (!timer.stop()) return Served::kComplete;
    reap(true);
    return Served::kTimedOut;
  }
  if (outcome == Outcome::kBroken) {
    // Still under the timer: a child that closed its records but goes on
    // is ended at its deadline.
    ::WaitForSingleObject(process, INFINITE);
    const bool passed = timer.stop();
    reap(passed);
    return passed ? Served::kTimedOut : Served::kEnded;
  }
  // No child of ours writes that much: it is ended as one past its limit is,
  // at once. A read that fails otherwise leaves it unaccounted for.
  ::TerminateProcess(process, 1);
  const bool passed = timer.stop();
  reap(outcome == Outcome::kFlooded || passed);
  if (outcome == Outcome::kFlooded) {
    end.timedOut = false;
  } else {
    end.started = false;
  }
  return Served::kEnded;
}

void ResidentChild::end() {
  closeChildEnds();
  // The end of its input ends an idle child; a busy one finds its records
  // no longer read.
  CloseIf(requests_);
  CloseIf(records_);
  if (running()) {
    const HANDLE process = AsHandle(process_);
    if (::WaitForSingleObject(process, static_cast<DWORD>(kChildGrace.count())) != WAIT_OBJECT_0) {
      ::TerminateProcess(process, 1);
      ::WaitForSingleObject(process, INFINITE);
    }
    ::CloseHandle(process);
    process_ = -1;
  }
}

bool ReadRequestLine(std::string& line, std::size_t most) {
  line.clear();
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
  // The parent sends the next request only once this one's records are
  // complete, so one read never takes more than one line; two are a broken
  // request.
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(input, buffer, sizeof buffer, &got, nullptr) || got == 0) return false;
    line.append(buffer, got);
    if (line.back() == '\n') return line.find('\n') == line.size() - 1;
    if (line.size() > most) return false;
  }
}

void StopTakingRequests() {
  // Nothing reads standard input through the C runtime here, so its
  // descriptor 0 is left as it is.
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  ::SetStdHandle(STD_INPUT_HANDLE, nullptr);
  if (input != nullptr && input != INVALID_HANDLE_VALUE) ::CloseHandle(input);
}

Footprint CurrentFootprint() {
  Footprint footprint;
  DWORD handles = 0;
  if (::GetProcessHandleCount(::GetCurrentProcess(), &handles)) footprint.handles = handles;
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof memory;
  if (::K32GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                sizeof memory)) {
    // Committed private memory stands for the heap: the runtime's heap
    // keeps no count of its own that the system shows.
    footprint.heapBytes = memory.PrivateUsage;
    footprint.residentBytes = memory.WorkingSetSize;
  }
  return footprint;
}

void ReleaseFreeMemory() { ::_heapmin(); }

}  // namespace platform
