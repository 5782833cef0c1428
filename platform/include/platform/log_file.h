// A log file: opened once, by a name that is never resolved again, and
// appended to a whole piece at a time, perhaps by a second program doing the
// same at the same moment. Run as a privileged user over other users' folders,
// a log must not become a way to write to some other file: a name that is a
// symbolic link (a reparse point on Windows), or anything but a plain file of
// ours, is refused before a byte is written.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/hresult.h"

namespace platform {

// Why a log cannot be opened or a piece not appended.
enum class LogFault {
  kNone,
  kSystem,      // the system refused: `LogError::code` says why
  kLink,        // the name is a symbolic link (a reparse point on Windows)
  kNotRegular,  // a folder, FIFO, device or socket
  kNotOwned,    // another user's file (Linux; Windows does not look at owners)
  kManyNames,   // a file with more than one name (hard links)
  kHeld,        // another writer held the lock for longer than the wait
};

struct LogError {
  LogFault fault = LogFault::kNone;
  Win32Error code = kErrorSuccess;  // the system's error for kSystem
};

// What the log is for. kLines: this program appends to it under a lock and
// cuts a piece that could not be written whole off again, and may read back
// what it holds. kChildOutput: children write to it through their standard
// output, always at its end. kReadOnly: an existing file under the same
// rules, read back and never created, written or changed (a report an
// earlier run wrote).
enum class LogUse { kLines, kChildOutput, kReadOnly };

class LogFile {
 public:
  LogFile() = default;
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens `path` for appending, created when missing. An existing file is
  // opened only when the name itself is a regular file with one name that
  // belongs to the user this process runs as; the name is never followed as
  // a link. Only its owner may open it: a new file gets mode 0600 whatever
  // the umask, an existing one loses the access of group and others (on
  // Windows a new file gets an access list for the user, the system and the
  // administrators alone; an existing one keeps its own). With kLines,
  // `header` is
  // written when the file is empty, and `wait` bounds every wait for the
  // lock. Closes what was open before. False with the reason; nothing is
  // written then.
  bool open(const std::wstring& path, LogUse use, const std::string& header, std::chrono::milliseconds wait,
            LogError& error);
  bool isOpen() const;
  const std::wstring& path() const { return path_; }
  void close();

  // Appends `bytes` (kLines only), with the header before them when the file
  // is empty, under an exclusive lock of the whole file waited for with
  // short sleeps. A piece that cannot be written whole is cut off again, so
  // that the file ends where it ended before. False with the reason. Threads
  // of this program append one at a time: the file lock is the whole
  // program's, and keeps other programs out only.
  bool append(const std::string& bytes, LogError& error);

  // Reads at `offset` (kLines, kReadOnly) until `count` bytes are in or the
  // file ends; `done` says how many came. False with the reason.
  bool readAt(std::uint64_t offset, void* buffer, std::size_t count, std::size_t& done, LogError& error) const;

  // The open file as the system knows it: the descriptor on Linux, the
  // HANDLE on Windows (not inheritable: the child runner hands children a
  // copy of their own).
  std::intptr_t nativeHandle() const { return handle_; }

 private:
  // The end of open() on every system: takes over `handle`, a checked log,
  // and writes the header into it when it is empty (kLines).
  bool adopt(std::intptr_t handle, const std::wstring& path, LogUse use, const std::string& header,
             std::chrono::milliseconds wait, LogError& error);

  // The system's part of append, called under appending_.
  bool appendLocked(const std::string& bytes, LogError& error);

  std::mutex appending_;
  std::intptr_t handle_ = -1;  // none: also INVALID_HANDLE_VALUE on Windows
  std::wstring path_;
  std::string header_;
  std::chrono::milliseconds wait_{0};
};

}  // namespace platform
