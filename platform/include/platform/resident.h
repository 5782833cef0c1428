// A resident child: one process that serves one request after another,
// instead of one process per request. Its standard input is a pipe that only
// its parent writes requests into, one line each; its standard output and
// error go to the parent's scratch output (or the null device); its records
// come back on a result pipe (child_result.h) that is its alone. The parent
// reads each request's records until they are complete, the child ends, or
// the request's time limit runs out. One implementation per system
// (posix/resident.cpp, win32/resident.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/hresult.h"
#include "platform/process.h"

namespace platform {

// The parent's side.
class ResidentChild {
 public:
  ResidentChild() = default;
  // Ends the child as end() does.
  ~ResidentChild();
  ResidentChild(const ResidentChild&) = delete;
  ResidentChild& operator=(const ResidentChild&) = delete;

  // Makes the two pipes for the next child (ending one still running first),
  // neither end inheritable. False with the system's error.
  bool prepare(Win32Error& error);
  // The record pipe's write end as the child will know it (ResultPipe's
  // childName), for its command line.
  std::wstring channelName() const;
  // Starts `executable` with `arguments`, standard input the request pipe,
  // standard output and error `output` (the null device when null). The
  // child's ends are closed here however the start went. False when it could
  // not be started.
  bool start(const std::wstring& executable, const std::vector<ChildArgument>& arguments,
             const ScratchOutput* output);
  // Whether a child was started and has not been found ended.
  bool running() const;

  enum class Sent { kSent, kNotTaking, kFailed };
  // Writes one request. kNotTaking: the child no longer reads requests (it
  // has ended, or closed its input to end after its last one), or wrote
  // more after its last reply; none of this one reached it. kFailed: another
  // error.
  Sent send(const std::string& request);

  enum class Served { kComplete, kEnded, kTimedOut };
  // Reads the child's records into `records` (appending, at most `most`
  // bytes) until `complete(records)` holds (kComplete), the child ends
  // (kEnded: `end` says how), or `limit` (none when zero) runs out
  // (kTimedOut: the child is ended as RunChild ends one past its limit, and
  // `end` says how; what it wrote meanwhile is in `records`). A child that
  // writes more than `most` bytes is ended at once, as one past its limit.
  Served await(std::string& records, const std::function<bool(const std::string&)>& complete, std::size_t most,
               ChildTimeLimit limit, ChildEnd& end);

  // Closes the child's input, so that an idle child ends by itself; waits
  // for it within kChildGrace, then kills it. No-op when none runs.
  void end();

 private:
  std::intptr_t process_ = -1;  // the pid on Linux, the process HANDLE on Windows
  std::intptr_t requests_ = -1;     // the request pipe's write end (ours)
  std::intptr_t requestsRead_ = -1;  // its read end, the child's until it starts
  std::intptr_t records_ = -1;      // the record pipe's read end (ours)
  std::intptr_t recordsWrite_ = -1;  // its write end, the child's until it starts
  void closeChildEnds();
  void closeAll();
};

// The child's side.

// Reads the next request line (ending in a line feed, which is kept) from
// standard input. False at the end of the input, on an error, or when no line
// feed comes within `most` bytes.
bool ReadRequestLine(std::string& line, std::size_t most);
// Closes standard input for good (the null device takes its place), so that
// the parent's next request finds no reader and goes to another child.
void StopTakingRequests();

// What this process holds now, to tell whether a request left anything
// behind: its open descriptors (handles on Windows), the bytes its heap has
// handed out and not taken back, its resident memory, and (Linux) a digest
// of its blocked signals and the actions of the signals a run may touch.
struct Footprint {
  std::uint64_t handles = 0;
  std::uint64_t heapBytes = 0;
  std::uint64_t residentBytes = 0;
  std::uint64_t signals = 0;
};
Footprint CurrentFootprint();
// Gives free heap memory back to the system where it can.
void ReleaseFreeMemory();

}  // namespace platform
