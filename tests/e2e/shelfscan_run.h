// The fixture of the Shelfscan end-to-end tests: a copy of Shelfscan with a
// stand-in Bookmender (or the real one) beside it, run over folder trees made
// here, and the texts of its logs computed independently of the program.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "process.h"
#include "shelfscan_test_util.h"
#include "workbook_file.h"

namespace shelfscantest {

using namespace testsupport;

// The unprivileged user, what a byte that is no UTF-8 becomes in a log, and
// the reason logged for a root that is not there.
inline constexpr int kNobody = 65534;
inline const std::string kFffd = "\xEF\xBF\xBD";  // U+FFFD
inline const std::string kNotFound = "The path doesn't exist!";

// Records its arguments (count first, each ended by NUL) and ends as the
// file's name asks: code-N.xls exits with N, kill-*.xls kills itself,
// slow-*.xls takes a fifth of a second.
inline const char kStandIn[] =
    "#!/bin/sh\n"
    "printf '%s\\0' \"$#\" \"$@\" >> \"$RECORD\"\n"
    "for last; do :; done; set -- \"$1\" \"$last\"\n"
    "name=${2##*/}\n"
    "case \"$name\" in\n"
    "  code-*) code=${name#code-}; exit \"${code%.xls}\" ;;\n"
    "  kill-*) kill -KILL $$ ;;\n"
    "  slow-*) sleep 0.2 ;;\n"
    "esac\n"
    "exit 0\n";

// At its first call removes the folders listed in $REMOVE, then runs the
// real Bookmender ($REAL).
inline const char kRemover[] =
    "#!/bin/sh\n"
    "if mkdir \"$MARK\" 2>/dev/null; then rm -rf $REMOVE; fi\n"
    "exec \"$REAL\" \"$@\"\n";

// --- Text of the main log, converted independently of the program. ---

inline std::string Utf16le(const std::string& utf8) {
  std::string out;
  const auto unit = [&out](std::uint32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    const int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    std::uint32_t c = len == 1 ? b : len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
    for (int k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += len;
    if (c >= 0x10000) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      unit(c);
    }
  }
  return out;
}

// The exact bytes of a main log holding `lines` (UTF-8 here).
inline std::string LogBytes(const std::vector<std::string>& lines) {
  std::string bytes("\xFF\xFE", 2);
  for (const std::string& line : lines) bytes += Utf16le(line) + std::string("\r\0\n\0", 4);
  return bytes;
}

inline bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }
inline bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// Every path below `root` in the order a depth-first walk meets them with the
// system's own listing order (folders, not links to them, are entered).
inline void ListingOrder(const std::string& root, std::vector<std::string>& out) {
  for (const std::string& name : Entries(root)) {
    const std::string path = root + (root.back() == '/' ? "" : "/") + name;
    out.push_back(path);
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ListingOrder(path, out);
  }
}

// `paths` put in the order in which a walk of `root` meets them.
inline std::vector<std::string> InWalkOrder(const std::string& root, std::vector<std::string> paths) {
  std::vector<std::string> order;
  ListingOrder(root, order);
  const auto rank = [&order](const std::string& p) { return std::find(order.begin(), order.end(), p) - order.begin(); };
  for (const std::string& p : paths) EXPECT_LT(rank(p), static_cast<long>(order.size())) << p;
  std::sort(paths.begin(), paths.end(), [&](const std::string& a, const std::string& b) { return rank(a) < rank(b); });
  return paths;
}

template <typename T>
std::vector<T> Twice(std::vector<T> v) {
  const std::vector<T> once = v;
  v.insert(v.end(), once.begin(), once.end());
  return v;
}

inline std::vector<std::string> Prefixed(const std::string& label, const std::vector<std::string>& paths) {
  std::vector<std::string> lines;
  for (const std::string& p : paths) lines.push_back(label + p);
  return lines;
}


// The main log's name for the moment `t` in a zone `hours` ahead of UTC.
inline std::string LogName(std::time_t t, int hours) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t local = t + hours * 3600;
  std::tm tm{};
  ::gmtime_r(&local, &tm);
  char name[64];
  std::snprintf(name, sizeof name, "%d-%s-%d-%02d-%02d-%02d.log", tm.tm_year + 1900, kMonths[tm.tm_mon], tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return name;
}

class ShelfscanRun : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0); }

  // Runs Shelfscan (the built one unless `program`) with its console merged.
  ProcessResult Scan(std::vector<std::string> arguments, ProcessOptions options = {},
                     const std::string& program = SHELFSCAN_EXE) {
    arguments.insert(arguments.begin(), program);
    options.mergeOutput = true;
    options.environment.push_back("RECORD=" + Path("record"));
    return RunProcess(arguments, options);
  }
  std::string Path(const std::string& relative) const { return dir_.file(relative); }
  std::string Folder(const std::string& relative, mode_t mode = 0755) {
    const std::string path = Path(relative);
    EXPECT_EQ(::mkdir(path.c_str(), mode), 0) << path;
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }
  // A log folder of the unprivileged user's own, open to all as they may
  // choose.
  std::string NobodysFolder(const std::string& relative) {
    const std::string path = Folder(relative, 0777);
    EXPECT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    return path;
  }
  std::string File(const std::string& relative, const Bytes& bytes = {}) {
    const std::string path = Path(relative);
    WriteFileBytes(path, bytes);
    EXPECT_EQ(::chmod(path.c_str(), 0644), 0);
    return path;
  }
  std::string Link(const std::string& relative, const std::string& target) {
    const std::string path = Path(relative);
    EXPECT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
    return path;
  }
  // A copy of Shelfscan in its own folder with `bookmender` beside it: the
  // stand-in script, the real program ("real") or nothing ("").
  std::string Install(const std::string& bookmender = kStandIn) {
    const std::string bin = Folder("bin" + std::to_string(installs_++));
    WriteFileBytes(bin + "/Shelfscan", ReadFileBytes(SHELFSCAN_EXE));
    EXPECT_EQ(::chmod((bin + "/Shelfscan").c_str(), 0755), 0);
    if (!bookmender.empty()) InstallBookmender(bin, bookmender);
    return bin + "/Shelfscan";
  }
  // A fresh log folder argument and its path.
  std::pair<std::string, std::string> LogFolder() {
    const std::string folder = Path("logs" + std::to_string(logs_++));
    return {"-l:" + folder, folder};
  }
  // The one main log in `folder`, as bytes.
  std::string MainLog(const std::string& folder) const {
    std::vector<std::string> logs;
    for (const std::string& name : Entries(folder)) {
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0 && !Contains(name, "_detail")) {
        logs.push_back(name);
      }
    }
    if (logs.size() != 1) {
      ADD_FAILURE() << logs.size() << " main logs in " << folder;
      return std::string();
    }
    const Bytes bytes = ReadFileBytes(folder + "/" + logs[0]);
    return std::string(bytes.begin(), bytes.end());
  }

  TempDir dir_;
  int installs_ = 0;
  int logs_ = 0;
};

}  // namespace shelfscantest
