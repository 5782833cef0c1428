#include "ChildRun.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "MainLog.h"
#include "platform/text.h"

extern char** environ;

namespace shelfscan {

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

const wchar_t* StatusLabel(int exitCode, bool fixMode) {
  switch (exitCode) {
    case 0: return L"[ok],";
    case 1: return fixMode ? L"[fixed]," : L"[fixable],";
    case 2: return L"[broken],";
    case 3: return L"[container problem],";
    case 4: return L"[password],";
    case 50: return L"[bad arguments],";
    case 51: return L"[file not found],";
    case 52: return L"[access denied],";
    case 53: return L"[sharing violation],";
    case 54: return L"[not BIFF8 workbook],";
    case 55: return L"[temp copy failed],";
    case 56: return L"[copy back failed],";
    case 57: return L"[backup failed],";
    default: return L"[unexpected],";
  }
}

std::wstring OwnFolder() {
  std::string buffer(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  // A path that fills the whole buffer may have been cut.
  if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return std::wstring();
  buffer.resize(static_cast<std::size_t>(n));
  const std::size_t slash = buffer.rfind('/');
  if (slash == std::string::npos) return std::wstring();
  return platform::DecodeNative(buffer.substr(0, slash));
}

std::wstring BookmenderPath() { return OwnFolder() + L"/Bookmender"; }

std::wstring DetailLogPath(const std::wstring& logPath) {
  const std::size_t dot = logPath.rfind(L".log");
  if (dot == std::wstring::npos) return logPath + L"_detail.log";
  return logPath.substr(0, dot) + L"_detail.log" + logPath.substr(dot + 4);
}

int LaunchAndWait(const std::wstring& executable, const std::vector<std::wstring>& arguments,
                  int outputFd) {
  if (executable.empty()) return -1;
  std::vector<std::string> bytes{platform::EncodeNative(executable)};
  for (const std::wstring& argument : arguments) bytes.push_back(platform::EncodeNative(argument));
  std::vector<char*> argv;
  for (std::string& argument : bytes) argv.push_back(argument.data());
  argv.push_back(nullptr);

  SpawnActions actions;
  actions.check(::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, kNullDevice, O_RDONLY, 0));
  if (outputFd >= 0) {
    actions.check(::posix_spawn_file_actions_adddup2(actions.get(), outputFd, STDOUT_FILENO));
  } else {
    actions.check(::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, kNullDevice, O_WRONLY, 0));
  }
  actions.check(::posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO));
  if (!actions.ok()) return -1;

  // Shelfscan ignores SIGPIPE for itself; the child gets the default back.
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
  if (!started) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

void LogFileResult(const std::wstring& filePath, int exitCode, bool fixMode) {
  AppendLogLine(StatusLabel(exitCode, fixMode) + platform::SanitizeForLine(filePath) + L"\n");
}

void RunBookmender(const std::wstring& filePath, const std::wstring& logPath, bool fixMode,
                   bool detail) {
  const std::wstring executable = BookmenderPath();
  const std::string target = detail ? platform::EncodeNative(DetailLogPath(logPath)) : kNullDevice;
  // Appending, so that the children's output follows one another in walk
  // order. Kept above the standard descriptors so that the child's dup2
  // always makes a fresh, inheritable copy.
  int fd = ::open(target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0 && fd <= STDERR_FILENO) {
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    fd = high;
  }
  // A target that cannot be opened is not an error of the file: the child
  // runs with its output discarded.
  const int result = LaunchAndWait(executable, {fixMode ? L"-fix" : L"-check", filePath}, fd);
  if (fd >= 0) ::close(fd);

  if (result < 0) {
    ReportScanError(filePath, L"Failed to launch Bookmender (error code " + std::to_wstring(result) + L")",
                    true);
  } else {
    LogFileResult(filePath, result, fixMode);
  }
}

}  // namespace shelfscan
