// Helpers of the Shelfscan end-to-end tests: the main log read back
// independently of the program's own code, folder listings and the calls a
// stand-in Bookmender recorded.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "workbook_file.h"

namespace shelfscantest {

// Appends code point `c` to `out` in UTF-8.
inline void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out += {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
  } else if (c < 0x10000) {
    out += {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3F)),
            static_cast<char>(0x80 | (c & 0x3F))};
  } else {
    out += {static_cast<char>(0xF0 | c >> 18), static_cast<char>(0x80 | (c >> 12 & 0x3F)),
            static_cast<char>(0x80 | (c >> 6 & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
  }
}

// The lines of a main log as UTF-8, after checking its frame: one byte-order
// mark at the start and CR LF after every line.
inline std::vector<std::string> LogLines(const std::string& bytes) {
  EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE", 2)) << "no byte-order mark";
  EXPECT_EQ(bytes.size() % 2, 0u);
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    std::uint32_t c = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (c == '\r' && bytes.compare(i + 2, 2, std::string("\n\0", 2)) == 0) {
      lines.push_back(line);
      line.clear();
      i += 2;
      continue;
    }
    EXPECT_NE(c, 0xFEFFu) << "a second byte-order mark";
    EXPECT_TRUE(c != '\r' && c != '\n') << "a line end other than CR LF";
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size()) {
      const std::uint32_t low = static_cast<unsigned char>(bytes[i + 2]) | static_cast<unsigned char>(bytes[i + 3]) << 8;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    AppendUtf8(line, c);
  }
  EXPECT_TRUE(line.empty()) << "the last line has no CR LF";
  return lines;
}
inline std::vector<std::string> LogLines(const testsupport::Bytes& bytes) {
  return LogLines(std::string(bytes.begin(), bytes.end()));
}

inline std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

inline bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }
inline testsupport::Bytes Text(const std::string& s) { return testsupport::Bytes(s.begin(), s.end()); }

// The names in `folder`, in the system's listing order.
inline std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
  }
  return names;
}

// The calls a stand-in recorded (its argument count, then each argument,
// each ended by NUL): each one's arguments.
inline std::vector<std::vector<std::string>> Calls(const std::string& record) {
  std::vector<std::vector<std::string>> calls;
  if (!Exists(record)) return calls;
  std::vector<std::string> fields;
  std::string field;
  for (const std::uint8_t b : testsupport::ReadFileBytes(record)) {
    if (b) {
      field.push_back(static_cast<char>(b));
      continue;
    }
    fields.push_back(field);
    field.clear();
  }
  for (std::size_t i = 0; i < fields.size();) {
    const std::size_t n = std::stoul(fields[i++]);
    calls.emplace_back(fields.begin() + static_cast<long>(i), fields.begin() + static_cast<long>(i + n));
    i += n;
  }
  return calls;
}

}  // namespace shelfscantest
