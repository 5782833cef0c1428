// POSIX processes: arguments decoded from argv, the own folder from
// /proc/self/exe, children started with posix_spawn and an argument vector.
#include "platform/process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fd.h"
#include "spawn.h"
#include "platform/files.h"
#include "platform/text.h"

extern char** environ;

namespace platform {

namespace {

const char kNullDevice[] = "/dev/null";

// Owns a posix_spawn file action list.
class SpawnActions {
 public:
  SpawnActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }
  void check(int rc) { ok_ = ok_ && rc == 0; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

}  // namespace

// The wait is a poll on a descriptor of the process where the system has them,
// else short sleeps.
bool WaitUntil(pid_t pid, std::optional<std::chrono::steady_clock::time_point> deadline, int& status) {
  if (!deadline) {
    while (::waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }
  const Fd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  for (;;) {
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) return true;
    if (ended < 0 && errno != EINTR) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (process.valid()) {
      pollfd ready{process.get(), POLLIN, 0};
      ::poll(&ready, 1, static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), 60000)));
    } else {
      const struct timespec pause{0, 10 * 1000 * 1000};
      ::nanosleep(&pause, nullptr);
    }
  }
}

bool WaitWithin(pid_t pid, ChildTimeLimit limit, int& status, bool& timedOut) {
  timedOut = false;
  using Clock = std::chrono::steady_clock;
  if (limit <= ChildTimeLimit::zero()) return WaitUntil(pid, std::nullopt, status);
  if (WaitUntil(pid, Clock::now() + limit, status)) return true;
  timedOut = true;
  ::kill(pid, SIGTERM);
  if (WaitUntil(pid, Clock::now() + kChildGrace, status)) return true;
  ::kill(pid, SIGKILL);
  return WaitUntil(pid, std::nullopt, status);
}

pid_t SpawnChild(const std::wstring& executable, const std::vector<ChildArgument>& arguments, int inputFd,
                 int outputFd, int keepFd) {
  if (executable.empty()) return -1;
  std::vector<std::string> bytes{EncodeNative(executable)};
  for (const ChildArgument& argument : arguments) bytes.push_back(EncodeNative(argument.text));
  std::vector<char*> argv;
  for (std::string& argument : bytes) argv.push_back(argument.data());
  argv.push_back(nullptr);

  SpawnActions actions;
  if (inputFd >= 0) {
    actions.check(::posix_spawn_file_actions_adddup2(actions.get(), inputFd, STDIN_FILENO));
  } else {
    actions.check(::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, kNullDevice, O_RDONLY, 0));
  }
  if (outputFd >= 0) {
    actions.check(::posix_spawn_file_actions_adddup2(actions.get(), outputFd, STDOUT_FILENO));
  } else {
    actions.check(::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, kNullDevice, O_WRONLY, 0));
  }
  actions.check(::posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO));
  // Onto its own number, which clears close-on-exec in the child only (glibc
  // 2.29 and later, as POSIX now asks): no other child can inherit it.
  if (keepFd > STDERR_FILENO) actions.check(::posix_spawn_file_actions_adddup2(actions.get(), keepFd, keepFd));
  if (!actions.ok()) return -1;

  // A parent that ignores SIGPIPE for itself gives the child the default back.
  posix_spawnattr_t attributes;
  if (::posix_spawnattr_init(&attributes) != 0) return -1;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  pid_t pid = -1;
  const bool started = ::posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
                       ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF) == 0 &&
                       ::posix_spawn(&pid, argv[0], actions.get(), &attributes, argv.data(), environ) == 0;
  ::posix_spawnattr_destroy(&attributes);
  return started ? pid : -1;
}

ChildEnd EndFromStatus(int status, bool timedOut) {
  ChildEnd end;
  if (WIFEXITED(status)) {
    end.started = end.exited = true;
    end.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    end.started = true;
    end.code = WTERMSIG(status);
    // One that ended by itself just as the time ran out keeps its result.
    end.timedOut = timedOut;
  }
  return end;
}

namespace {

ChildEnd Spawn(const std::wstring& executable, const std::vector<ChildArgument>& arguments, int outputFd,
               ChildTimeLimit limit, ResultPipe* result) {
  const pid_t pid = SpawnChild(executable, arguments, -1, outputFd,
                               result != nullptr ? static_cast<int>(result->writeEnd()) : -1);
  // The write end is this child's alone, closed here however its start went.
  if (result != nullptr) result->closeWriteEnd();
  if (pid < 0) return ChildEnd();
  int status = 0;
  bool timedOut = false;
  if (!WaitWithin(pid, limit, status, timedOut)) return ChildEnd();
  return EndFromStatus(status, timedOut);
}

// O_TMPFILE needs a file system that has it (and a temporary folder this
// user may write); an anonymous memory file is as private. -1 with the
// first failure's errno.
int MakeScratch() {
  const std::string folder = EncodeNative(TemporaryFolder());
  const int fd = OpenRetrying(folder.c_str(), O_TMPFILE | O_RDWR, 0600);
  if (fd >= 0) return fd;
  const int first = errno;
  const int memory = ::memfd_create("shelfscan-output", MFD_CLOEXEC);
  if (memory < 0) errno = first;
  return memory;
}

}  // namespace

namespace {
bool g_inputWasClosed = false;  // set once, before anything else runs
}  // namespace

bool StandardInputWasClosed() { return g_inputWasClosed; }

void KeepStandardDescriptorsTaken() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDIN_FILENO) g_inputWasClosed = true;
    // The lowest free number is `fd` itself, the ones below being open.
    int opened = ::open(kNullDevice, O_RDWR | O_NOCTTY);
    if (opened < 0) opened = ::open("/", O_RDONLY | O_DIRECTORY);
    if (opened != fd) {
      // Nothing can keep the number: better not to run at all.
      if (opened >= 0) ::close(opened);
      ::abort();
    }
  }
}

std::vector<std::wstring> ProgramArguments(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(DecodeNative(argv[i]));
  return arguments;
}

std::wstring OwnExecutableFolder() {
  std::string buffer(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  // A path that fills the whole buffer may have been cut.
  if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return std::wstring();
  buffer.resize(static_cast<std::size_t>(n));
  // The kernel gives an absolute path; anything else is no folder to trust.
  const std::string folder = FolderOf(buffer);
  if (folder.empty() || folder[0] != '/') return std::wstring();
  return DecodeNative(folder);
}

bool CanStart(const std::wstring& executable, Win32Error& error) {
  const std::string native = EncodeNative(executable);
  struct stat st {};
  if (::stat(native.c_str(), &st) != 0) {
    error = Win32ErrorFromErrno(errno, native);
    return false;
  }
  // Execute bits on a folder mean searching it; the check is for the
  // effective user, the one posix_spawn runs as.
  if (!S_ISREG(st.st_mode)) {
    error = kErrorAccessDenied;
    return false;
  }
  if (::faccessat(AT_FDCWD, native.c_str(), X_OK, AT_EACCESS) != 0) {
    error = Win32ErrorFromErrno(errno, native);
    return false;
  }
  return true;
}

ChildEnd RunChild(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
                  const LogFile* output, ChildTimeLimit limit, ResultPipe* result) {
  // The log's descriptor is above the standard ones (LogFile::open), so the
  // child's dup2 makes a fresh copy that survives its exec.
  const bool open = output != nullptr && output->isOpen();
  return Spawn(executable, arguments, open ? static_cast<int>(output->nativeHandle()) : -1, limit, result);
}

int RunAndWait(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
               const LogFile* output) {
  return RunChild(executable, arguments, output).result();
}

// Every descriptor of this program is close-on-exec, so a child started by
// another thread meanwhile does not inherit this one.
ChildEnd RunChild(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
                  const ScratchOutput& output, ChildTimeLimit limit, ResultPipe* result) {
  if (!output.isOpen()) {
    if (result != nullptr) result->closeWriteEnd();
    return ChildEnd();
  }
  return Spawn(executable, arguments, static_cast<int>(output.nativeHandle()), limit, result);
}

ScratchOutput::~ScratchOutput() { close(); }

bool ScratchOutput::isOpen() const { return handle_ >= 0; }

void ScratchOutput::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool ScratchOutput::create(Win32Error& error) {
  close();
  Fd fd(MakeScratch());
  if (!fd.valid()) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  // Above the standard descriptors, so that the child's dup2 onto its
  // standard output always makes a fresh copy.
  if (fd.get() <= STDERR_FILENO) {
    fd = Fd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    if (!fd.valid()) {
      error = Win32ErrorFromErrno(errno);
      return false;
    }
  }
  handle_ = fd.release();
  return true;
}

bool ScratchOutput::read(std::string& bytes, Win32Error& error) const {
  bytes.clear();
  if (handle_ < 0) {
    error = kErrorInvalidParameter;
    return false;
  }
  char buffer[65536];
  for (;;) {
    std::size_t done = 0;
    if (!ReadAt(static_cast<int>(handle_), bytes.size(), buffer, sizeof buffer, done)) {
      error = Win32ErrorFromErrno(errno);
      return false;
    }
    bytes.append(buffer, done);
    if (done < sizeof buffer) return true;
  }
}

bool ScratchOutput::clear(Win32Error& error) {
  if (handle_ < 0) {
    error = kErrorInvalidParameter;
    return false;
  }
  const int fd = static_cast<int>(handle_);
  if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
    error = Win32ErrorFromErrno(errno);
    return false;
  }
  return true;
}

}  // namespace platform
