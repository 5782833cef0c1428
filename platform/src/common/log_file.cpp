// The parts of a log file that are the same on every system; the opening,
// locking and writing are in posix/log_file.cpp and win32/log_file.cpp.
#include "platform/log_file.h"

namespace platform {

LogFile::~LogFile() { close(); }

bool LogFile::adopt(std::intptr_t handle, const std::wstring& path, LogUse use, const std::string& header,
                    std::chrono::milliseconds wait, LogError& error) {
  handle_ = handle;
  path_ = path;
  header_ = use == LogUse::kLines ? header : std::string();
  wait_ = wait;
  if (!header_.empty() && !append(std::string(), error)) {
    close();
    return false;
  }
  return true;
}

bool LogFile::append(const std::string& bytes, LogError& error) {
  const std::lock_guard<std::mutex> hold(appending_);
  return appendLocked(bytes, error);
}

}  // namespace platform
