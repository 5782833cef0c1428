// Running the built programs and holding files the way other programs do,
// with real operating-system conditions.
#pragma once

#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/types.h>
#endif

namespace testsupport {

struct ProcessOptions {
  std::vector<std::string> environment;  // extra or replaced "NAME=value" entries
  std::string workingDirectory;          // empty: the test's own
  int uid = -1;                          // run as this user (and its group), e.g. 65534; not on Windows
  long long fileSizeLimit = -1;          // RLIMIT_FSIZE in bytes (SIGXFSZ at its default); not on Windows
  long long addressSpaceLimit = -1;      // RLIMIT_AS in bytes; not on Windows
  bool mergeOutput = false;              // standard error into the standard output pipe
};

struct ProcessResult {
  int exitCode = -1;     // when it exited
  int signal = 0;        // when a signal ended it
  std::string output;    // standard output (and error, when merged)
  std::string error;     // standard error
};

// Runs `argv` (argv[0] is the program's path) with standard input /dev/null.
// On Windows the arguments (UTF-8) are quoted into one command line as the
// C runtime and CommandLineToArgvW split it, and standard input is nul.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A child process that holds `path` open with a lock until destroyed.
// kind 'r' / 'w': a shared read / exclusive write open-file-description lock,
// as a reader or writer of our own kind takes; 'R' / 'p': a classic POSIX
// read / write record lock, and 's' / 'f': a shared / exclusive flock(2)
// lock, as other programs take them; 'l': a read lease (F_SETLEASE) taken by
// the file's owner, who must be an ordinary user; 'o': open for writing
// without any lock, as a program that does not lock holds it.
// On Windows, where sharing belongs to each open handle, this process holds
// a second handle: 'r' reads and lets others only read, 'w' reads and
// writes and shares nothing, 'p' writes and shares everything, as a program
// that does not care about sharing opens a file.
class LockHolder {
 public:
  LockHolder(const std::string& path, char kind);
#ifndef _WIN32
  // The same done as the user `uid` (with its group and no other): where that
  // user may not open the file, nothing is held.
  LockHolder(const std::string& path, char kind, int uid);
#endif
  ~LockHolder();
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  bool held() const { return held_; }

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  pid_t pid_ = -1;
  int go_ = -1;
#endif
  bool held_ = false;
};

// Lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& text);

}  // namespace testsupport
