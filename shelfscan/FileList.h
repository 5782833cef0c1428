// The lists of "-files:" (one name per line) and "-files0:" (names ended by
// NUL, as find -print0 writes them): read as bytes, a piece at a time as the
// scan comes to them, so that a list may be as long as a share and may come
// from a pipe that is still being written.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

#include "platform/input_file.h"

namespace shelfscan {

// The longest entry taken for a name: longer than any path the systems
// resolve (32,767 UTF-16 units on Windows, each at most 3 bytes in UTF-8).
inline constexpr std::size_t kMaxListEntry = 128 * 1024;

// One entry of a list: the bytes of a name, or an entry too long to be one.
struct ListEntry {
  std::string bytes;
  bool tooLong = false;
};

// Cuts the bytes of a list into its entries. A line list ends entries at
// LF and drops a CR before it; a NUL list ends them at NUL and keeps every
// other byte. Empty entries are skipped. An entry longer than kMaxListEntry
// comes out once as tooLong, without its bytes.
class ListSplitter {
 public:
  // `skipByteOrderMark`: a UTF-8 byte-order mark at the very start of the
  // list is no part of its first name (Windows editors write one).
  ListSplitter(bool nulSeparated, bool skipByteOrderMark);

  // Takes the next bytes of the list.
  void feed(const char* data, std::size_t size);
  // The list has ended: an entry without a separator after it is complete.
  void finish();
  // The next complete entry; false when there is none yet.
  bool next(ListEntry& entry);

 private:
  void take(const char* data, std::size_t size);
  void complete();

  char separator_;
  bool checkByteOrderMark_;
  std::string start_;  // the first bytes, while they may be a byte-order mark
  std::string pending_;
  bool pendingTooLong_ = false;
  std::deque<ListEntry> ready_;
};

// A list named on the command line, opened when the run starts and read as
// the scan comes to it.
class FileList {
 public:
  // `path` as given; "-" is standard input.
  FileList(std::wstring path, bool nulSeparated);

  const std::wstring& path() const { return path_; }
  // False with the system error number when it cannot be read at all.
  bool open(platform::Win32Error& error);

  // The next entry, or false at the end. A read that fails ends the list
  // early: false, with `failed` set and the error. A stop request, or
  // `stopped` answering true while the list is waited for, gives false
  // without ending the list.
  bool next(ListEntry& entry, bool& failed, platform::Win32Error& error,
            const std::function<bool()>& stopped = nullptr);

 private:
  std::wstring path_;
  platform::InputFile input_;
  ListSplitter splitter_;
  bool ended_ = false;
};

// Why a list cannot be read, in a sentence: "It is a folder." or the
// system's text for `error`.
std::wstring ListReadProblem(const std::wstring& path, platform::Win32Error error);

}  // namespace shelfscan
