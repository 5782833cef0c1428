// Lets a stand-in script ("Bookmender.script" beside this program) serve as
// a resident Bookmender: given "-serve:FILES -result:N" it runs the script
// once per request line, with the request's arguments and a "-result:" pipe
// of its own where a run of its own has it, standard input the null device
// and its own standard output and error. It replies with what the script
// wrote on that pipe, followed by the record of the script's exit code
// unless the script's last line was that record already (the pair then
// reads as the malformed records they are, as they would from the script); a
// script that a signal ends ends this program by the same signal, without a
// reply, as a resident Bookmender that crashed. A termination request is
// passed on to the script under way.
// Any other arguments: the script runs in its place, as a run of its own.
// So a test sees each file's run alike, however Shelfscan starts it.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "frontend/ServeRequest.h"

namespace {

volatile sig_atomic_t g_child = 0;

void PassOn(int signal) {
  if (g_child > 0) ::kill(static_cast<pid_t>(g_child), signal);
}

std::string ScriptPath() {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) std::abort();
  std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "Bookmender.script";
}

bool ReadLine(std::string& line) {
  line.clear();
  char c = 0;
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    line.push_back(c);
  }
}

bool Unhex(const std::string& hex, std::string& out) {
  const auto nibble = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
  if (hex.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    if (nibble(hex[i]) < 0 || nibble(hex[i + 1]) < 0) return false;
    out.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string script = ScriptPath();
  if (argc != 3 || std::string(argv[1]).compare(0, 7, "-serve:") != 0 ||
      std::string(argv[2]).compare(0, 8, "-result:") != 0) {
    argv[0] = const_cast<char*>(script.c_str());
    ::execv(script.c_str(), argv);
    return 127;
  }
  const int channel = std::atoi(argv[2] + 8);
  ::fcntl(channel, F_SETFD, FD_CLOEXEC);
  struct sigaction passOn {};
  passOn.sa_handler = PassOn;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &passOn, nullptr);
  std::string line;
  while (ReadLine(line)) {
    if (line.compare(0, 4, "BMQ1") != 0) return 50;
    std::vector<std::string> arguments{script};
    for (std::size_t at = 5; at <= line.size(); ) {
      const std::size_t end = line.find(' ', at);
      std::string argument;
      if (!Unhex(line.substr(at, end == std::string::npos ? std::string::npos : end - at), argument)) return 50;
      arguments.push_back(argument);
      if (end == std::string::npos) break;
      at = end + 1;
    }
    // Where Shelfscan puts it: after the mode and the place options.
    std::size_t at = 2;
    while (at < arguments.size() - 1 &&
           (arguments[at].rfind("-beneath:", 0) == 0 || arguments[at].rfind("-identity:", 0) == 0)) {
      ++at;
    }
    int records[2];
    if (::pipe2(records, O_CLOEXEC) != 0) return 70;
    ::fcntl(records[1], F_SETPIPE_SZ, 1 << 20);
    arguments.insert(arguments.begin() + static_cast<long>(at), "-result:" + std::to_string(records[1]));
    std::vector<char*> argvOut;
    for (std::string& argument : arguments) argvOut.push_back(&argument[0]);
    argvOut.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_RDONLY);
      ::dup2(null, STDIN_FILENO);
      ::fcntl(records[1], F_SETFD, 0);
      for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::signal(signal, SIG_DFL);
      ::execv(script.c_str(), argvOut.data());
      ::_exit(127);
    }
    ::close(records[1]);
    g_child = pid;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    g_child = 0;
    std::string reply;
    ::fcntl(records[0], F_SETFL, O_NONBLOCK);
    char buffer[65536];
    for (ssize_t n; (n = ::read(records[0], buffer, sizeof buffer)) > 0;) reply.append(buffer, static_cast<std::size_t>(n));
    ::close(records[0]);
    // More than any run writes: malformed, and kept within what is read.
    if (reply.size() > 200000) reply = "BMR1 overlong\n";
    if (!reply.empty() && reply.back() != '\n') reply += '\n';
    if (WIFSIGNALED(status)) {
      // What it wrote before it was ended, as a resident one's records are
      // there as soon as written.
      if (!reply.empty() && ::write(channel, reply.data(), reply.size()) < 0) return 0;
      ::signal(WTERMSIG(status), SIG_DFL);
      ::raise(WTERMSIG(status));
      return 128 + WTERMSIG(status);
    }
    // The last line must be the record of the exit code: else the parent
    // would take the script's line for the run's end.
    const std::string last = "BMR1 " + std::to_string(WEXITSTATUS(status)) + " ";
    const std::size_t previous = reply.size() < 2 ? std::string::npos : reply.rfind('\n', reply.size() - 2);
    const std::size_t lastLine = previous == std::string::npos ? 0 : previous + 1;
    if (!bookmender::HasLastRecord(reply) || reply.compare(lastLine, last.size(), last) != 0) reply += last + "-\n";
    if (::write(channel, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) return 0;
  }
  return 0;
}
