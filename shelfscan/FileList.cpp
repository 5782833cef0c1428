#include "FileList.h"

#include <cstring>
#include <utility>

#include <boost/filesystem/operations.hpp>

#include "FsPath.h"
#include "platform/termination.h"

namespace shelfscan {

namespace {

const char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr std::size_t kByteOrderMarkSize = 3;

}  // namespace

ListSplitter::ListSplitter(bool nulSeparated, bool skipByteOrderMark)
    : separator_(nulSeparated ? '\0' : '\n'), checkByteOrderMark_(skipByteOrderMark) {}

void ListSplitter::feed(const char* data, std::size_t size) {
  if (checkByteOrderMark_) {
    // Held back until three bytes are in or they can no longer be the mark.
    while (size > 0 && start_.size() < kByteOrderMarkSize) {
      start_.push_back(*data++);
      --size;
    }
    const std::size_t n = start_.size();
    if (n < kByteOrderMarkSize && std::memcmp(start_.data(), kByteOrderMark, n) == 0) return;
    checkByteOrderMark_ = false;
    const bool mark = n == kByteOrderMarkSize && std::memcmp(start_.data(), kByteOrderMark, n) == 0;
    if (!mark) take(start_.data(), n);
    start_.clear();
  }
  take(data, size);
}

void ListSplitter::take(const char* data, std::size_t size) {
  while (size > 0) {
    const void* found = std::memchr(data, separator_, size);
    const std::size_t length = found ? static_cast<std::size_t>(static_cast<const char*>(found) - data) : size;
    if (!pendingTooLong_) {
      if (pending_.size() + length > kMaxListEntry) {
        pendingTooLong_ = true;
        pending_.clear();
        pending_.shrink_to_fit();
      } else {
        pending_.append(data, length);
      }
    }
    if (!found) return;
    complete();
    data += length + 1;
    size -= length + 1;
  }
}

void ListSplitter::finish() {
  if (checkByteOrderMark_) {
    // A list shorter than the mark: what there is, unless it is the start
    // of one.
    checkByteOrderMark_ = false;
    if (std::memcmp(start_.data(), kByteOrderMark, start_.size()) != 0) take(start_.data(), start_.size());
    start_.clear();
  }
  complete();
}

void ListSplitter::complete() {
  if (separator_ == '\n' && !pending_.empty() && pending_.back() == '\r') pending_.pop_back();
  if (pendingTooLong_) {
    ready_.push_back({std::string(), true});
  } else if (!pending_.empty()) {
    ready_.push_back({std::move(pending_), false});
  }
  pending_.clear();
  pendingTooLong_ = false;
}

bool ListSplitter::next(ListEntry& entry) {
  if (ready_.empty()) return false;
  entry = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

FileList::FileList(std::wstring path, bool nulSeparated)
    : path_(std::move(path)),
#ifdef _WIN32
      splitter_(nulSeparated, true)
#else
      // Names are bytes here: three bytes that look like a mark are a name's.
      splitter_(nulSeparated, false)
#endif
{
}

bool FileList::open(platform::Win32Error& error) {
  return path_ == L"-" ? input_.openStandardInput(error) : input_.open(path_, error);
}

bool FileList::next(ListEntry& entry, bool& failed, platform::Win32Error& error,
                    const std::function<bool()>& stopped) {
  failed = false;
  char buffer[65536];
  while (!splitter_.next(entry)) {
    if (ended_) return false;
    std::size_t done = 0;
    if (!input_.read(buffer, sizeof buffer, done, error, stopped)) {
      ended_ = true;
      failed = true;
      return false;
    }
    // A stop request is no end of the list: the scan ends before it is
    // looked at again.
    if (done == 0 && (platform::StopRequested() || (stopped && stopped()))) return false;
    if (done == 0) {
      ended_ = true;
      splitter_.finish();
    } else {
      splitter_.feed(buffer, done);
    }
  }
  return true;
}

std::wstring ListReadProblem(const std::wstring& path, platform::Win32Error error) {
  if (path.empty()) return L"No file list is named.";
  if (error == platform::kErrorAccessDenied && path != L"-") {
    boost::system::error_code ignored;
    if (boost::filesystem::is_directory(ToFsPath(path), ignored)) return L"It is a folder.";
  }
  std::wstring text;
  if (!platform::SystemMessageText(error, text)) return L"System error " + std::to_wstring(error) + L".";
  // Windows' texts end in a line end.
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return text;
}

}  // namespace shelfscan
