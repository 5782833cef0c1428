// Starting and waiting for children, shared by the runs of one file
// (process.cpp) and the resident children (resident.cpp).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace platform {

// Starts `executable` with `arguments`: standard input `inputFd` (the null
// device when negative), standard output and error `outputFd` (likewise),
// and `keepFd` (none when negative) open under its own number. Every other
// descriptor of this program is close-on-exec. The pid, or -1.
pid_t SpawnChild(const std::wstring& executable, const std::vector<ChildArgument>& arguments, int inputFd,
                 int outputFd, int keepFd);
// Waits for `pid` to end, at most until `deadline` when it has one: true
// with its status once it has ended, false when the time ran out first.
bool WaitUntil(pid_t pid, std::optional<std::chrono::steady_clock::time_point> deadline, int& status);
// Waits for `pid` within `limit` (none when zero); past it, SIGTERM, and
// SIGKILL after kChildGrace. False when it cannot be waited for.
bool WaitWithin(pid_t pid, ChildTimeLimit limit, int& status, bool& timedOut);
// How a child with wait status `status` ended.
ChildEnd EndFromStatus(int status, bool timedOut);

}  // namespace platform
