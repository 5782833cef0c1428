// A channel from one child to its parent for a short record the child writes
// as it ends: a pipe made for that child alone. The parent names its write
// end on the child's command line by number (a descriptor on Linux, a handle
// value on Windows); the child is given that end and no other child is, and
// the parent reads what came once the child has ended. One implementation per
// system (posix/child_result.cpp, win32/child_result.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/hresult.h"

namespace platform {

// The parent's side, for one child run (RunChild in process.h).
class ResultPipe {
 public:
  ResultPipe() = default;
  ~ResultPipe();
  ResultPipe(const ResultPipe&) = delete;
  ResultPipe& operator=(const ResultPipe&) = delete;

  // Makes the pipe, room for `capacity` bytes asked for, neither end
  // inheritable. False with the system's error.
  bool create(std::size_t capacity, Win32Error& error);
  // The write end's number in decimal, as the child will know it.
  std::wstring childName() const;
  // The write end, handed to the child while it starts.
  std::intptr_t writeEnd() const { return write_; }
  // Closed as soon as the child has it, so that the pipe's end is the
  // child's (or its own children's) closing it.
  void closeWriteEnd();
  // What was written, at most `most` bytes, without waiting for a writer
  // that still holds the pipe open. False with the system's error.
  bool readWaiting(std::string& bytes, std::size_t most, Win32Error& error) const;

 private:
  std::intptr_t read_ = -1;  // none: also INVALID_HANDLE_VALUE on Windows
  std::intptr_t write_ = -1;
};

// The child's side. `name` is a descriptor (handle value) in decimal that is
// open in this process and a pipe (Linux: or a FIFO or a socket); false for
// anything else, so that the record never lands in a file or a terminal.
bool FindResultChannel(const std::wstring& name, std::intptr_t& channel);
// Writes `record` to the channel without waiting for a reader that does not
// read and without being ended by SIGPIPE. False when not all of it went.
bool WriteResult(std::intptr_t channel, const std::string& record);
// The same, then closes the channel.
bool WriteResultAndClose(std::intptr_t channel, const std::string& record);

}  // namespace platform
