#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <grp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {

void Drain(int outFd, int errFd, std::string& out, std::string& err) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = errFd >= 0 ? 2 : 1;
  char buffer[65536];
  while (open > 0) {
    if (poll(fds, errFd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(out[1], 1);
    dup2(options.mergeOutput ? out[1] : err[1], 2);
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
    for (const std::string& entry : options.environment) putenv(const_cast<char*>(entry.c_str()));
    if (options.fileSizeLimit >= 0) {
      // SIGXFSZ keeps its default action: a program that means to survive
      // the limit must ignore it itself.
      signal(SIGXFSZ, SIG_DFL);
      const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    if (options.addressSpaceLimit >= 0) {
      const rlimit limit{static_cast<rlim_t>(options.addressSpaceLimit), static_cast<rlim_t>(options.addressSpaceLimit)};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
    }
    if (options.uid >= 0) {
      const gid_t gid = static_cast<gid_t>(options.uid);
      if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
          setresuid(static_cast<uid_t>(options.uid), static_cast<uid_t>(options.uid),
                    static_cast<uid_t>(options.uid)) != 0) {
        _exit(126);
      }
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  ProcessResult result;
  Drain(out[0], err[0], result.output, result.error);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

LockHolder::LockHolder(const std::string& path, char kind) : LockHolder(path, kind, -1) {}

LockHolder::LockHolder(const std::string& path, char kind, int uid) {
  int ready[2], go[2];
  if (pipe(ready) != 0 || pipe(go) != 0) throw std::runtime_error("pipe");
  pid_ = fork();
  if (pid_ == 0) {
    close(ready[0]);
    close(go[1]);
    // Nothing else of the parent's: another holder's end of its pipe kept
    // here would keep that holder waiting after its release.
    for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd) {
      if (fd != ready[1] && fd != go[0]) close(fd);
    }
    if (uid >= 0) {
      const auto id = static_cast<uid_t>(uid);
      if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 || setresuid(id, id, id) != 0) _exit(2);
    }
    const bool reader = kind == 'r' || kind == 'R' || kind == 's' || kind == 'l';
    // A lease is taken by the file's owner, an ordinary user; its break
    // signal is ignored, so that the lease lasts until the system breaks it.
    if (kind == 'l') {
      struct stat st {};
      if (stat(path.c_str(), &st) != 0 || setgroups(0, nullptr) != 0 || setresgid(st.st_gid, st.st_gid, st.st_gid) != 0 ||
          setresuid(st.st_uid, st.st_uid, st.st_uid) != 0) {
        _exit(2);
      }
      signal(SIGIO, SIG_IGN);
    }
    const int fd = open(path.c_str(), reader ? O_RDONLY : O_RDWR);
    bool locked = false;
    if (fd >= 0 && kind == 'l') {
      locked = fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
    } else if (fd >= 0 && kind == 'o') {
      locked = true;  // open for writing, and no lock at all
    } else if (fd >= 0 && (kind == 'f' || kind == 's')) {
      locked = flock(fd, (kind == 'f' ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
    } else if (fd >= 0) {
      struct flock fl {};
      fl.l_type = reader ? F_RDLCK : F_WRLCK;
      fl.l_whence = SEEK_SET;
      const int command = kind == 'p' || kind == 'R' ? F_SETLK : F_OFD_SETLK;
      locked = fcntl(fd, command, &fl) == 0;
    }
    const char ok = locked ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    char c;
    while (read(go[0], &c, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(go[0]);
  go_ = go[1];
  char ok = 'n';
  held_ = read(ready[0], &ok, 1) == 1 && ok == 'y';
  close(ready[0]);
}

LockHolder::~LockHolder() {
  close(go_);
  int status = 0;
  waitpid(pid_, &status, 0);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace testsupport
