// Helpers of the Shelfscan end-to-end tests: the main log and the report
// read back independently of the program's own code, folder listings and the
// calls a stand-in Bookmender recorded.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "process.h"
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
inline std::string ReadText(const std::string& path) {
  const testsupport::Bytes bytes = testsupport::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// Puts Bookmender into the folder `bin`: the real program when `script` is
// "real", else the stand-in `script`, which Shelfscan's resident runs reach
// through the serving adapter (serve_standin.cpp) one run per file, as runs
// of their own reach it. A script whose interpreter is missing is Bookmender
// itself: the program that cannot be started.
inline void InstallBookmender(const std::string& bin, const std::string& script) {
  if (script.rfind("#!/no/such/", 0) == 0) {
    testsupport::WriteFileBytes(bin + "/Bookmender", Text(script));
    EXPECT_EQ(::chmod((bin + "/Bookmender").c_str(), 0755), 0);
    return;
  }
  const bool real = script == "real";
  testsupport::WriteFileBytes(bin + "/Bookmender", testsupport::ReadFileBytes(real ? BOOKMENDER_EXE : SERVE_STANDIN_EXE));
  EXPECT_EQ(::chmod((bin + "/Bookmender").c_str(), 0755), 0);
  if (real) return;
  testsupport::WriteFileBytes(bin + "/Bookmender.script", Text(script));
  EXPECT_EQ(::chmod((bin + "/Bookmender.script").c_str(), 0755), 0);
}

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

// Shell lines for a stand-in Bookmender, before it changes its arguments:
// `record CODE NAME` then writes the result record naming the backup NAME to
// the pipe -result: names, as Bookmender does; nothing without -result:. The
// pipe is reached through /proc, as sh takes no descriptor above 9.
#define RESULT_CHANNEL_OF_ARGUMENTS                                                       \
  "result=\n"                                                                             \
  "for a; do case \"$a\" in -result:*) result=${a#-result:} ;; esac; done\n"              \
  "record() { [ -n \"$result\" ] && printf 'BMR1 %s %s\\n' \"$1\" "                       \
  "\"$(printf '%s' \"$2\" | od -An -tx1 -v | tr -d ' \\n')\" > /proc/$$/fd/$result; }\n"

// The calls a stand-in recorded (its argument count, then each argument,
// each ended by NUL): each one's arguments, without the options that say
// where the file was found (-beneath:, -identity:) unless `withPlace`, and
// without the result channel (-result:), whose number varies.
inline std::vector<std::vector<std::string>> Calls(const std::string& record, bool withPlace = false) {
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
  for (std::vector<std::string>& call : calls) {
    call.erase(std::remove_if(call.begin(), call.end(),
                              [withPlace](const std::string& a) {
                                return a.rfind("-result:", 0) == 0 ||
                                       (!withPlace && (a.rfind("-beneath:", 0) == 0 || a.rfind("-identity:", 0) == 0));
                              }),
               call.end());
  }
  return calls;
}

// --- The report, read as a script would ---

// One value of a flat JSON object: a string (as UTF-8), a number or null.
struct JsonValue {
  enum Kind { kString, kNumber, kNull } kind = kNull;
  std::string text;
  double number = 0;
};

// Parses one JSON object of strings, numbers and nulls, as a script would;
// fails the test on anything else.
inline std::map<std::string, JsonValue> ParseObject(const std::string& line) {
  std::map<std::string, JsonValue> object;
  std::size_t i = 0;
  const auto fail = [&](const char* what) {
    ADD_FAILURE() << what << " at " << i << " in " << line;
    i = line.size();
    return std::string();
  };
  const auto string = [&]() {
    if (i >= line.size() || line[i] != '"') return fail("no string");
    std::string out;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      const auto c = static_cast<unsigned char>(line[i]);
      if (c < 0x20) return fail("a raw control character");
      if (c != '\\') {
        out.push_back(line[i]);
        continue;
      }
      if (++i >= line.size()) return fail("an escape at the end");
      switch (line[i]) {
        case '"': case '\\': case '/': out.push_back(line[i]); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          std::uint32_t c16 = static_cast<std::uint32_t>(std::stoul(line.substr(i + 1, 4), nullptr, 16));
          i += 4;
          if (c16 >= 0xD800 && c16 <= 0xDBFF && line.compare(i + 1, 2, "\\u") == 0) {
            const auto low = static_cast<std::uint32_t>(std::stoul(line.substr(i + 3, 4), nullptr, 16));
            c16 = 0x10000 + ((c16 - 0xD800) << 10) + (low - 0xDC00);
            i += 6;
          }
          AppendUtf8(out, c16);
          break;
        }
        default: return fail("an unknown escape");
      }
    }
    if (i >= line.size()) return fail("an unended string");
    ++i;
    return out;
  };
  if (line.empty() || line[0] != '{') {
    fail("no object");
    return object;
  }
  for (i = 1; i < line.size() && line[i] != '}';) {
    const std::string key = string();
    if (i >= line.size() || line[i++] != ':') {
      fail("no colon");
      break;
    }
    JsonValue value;
    if (i < line.size() && line[i] == '"') {
      value.kind = JsonValue::kString;
      value.text = string();
    } else if (line.compare(i, 4, "null") == 0) {
      i += 4;
    } else {
      std::size_t used = 0;
      value.kind = JsonValue::kNumber;
      value.number = std::stod(line.substr(i), &used);
      i += used;
    }
    EXPECT_EQ(object.count(key), 0u) << "a second " << key;
    object[key] = value;
    if (i < line.size() && line[i] == ',') ++i;
  }
  EXPECT_EQ(i + 1, line.size()) << "something after the object: " << line;
  return object;
}

inline std::string FromBase64(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '=') break;
    const std::size_t v = kAlphabet.find(c);
    EXPECT_NE(v, std::string::npos) << "not base64: " << text;
    bits = bits << 6 | static_cast<std::uint32_t>(v);
    if ((count += 6) >= 8) {
      count -= 8;
      out.push_back(static_cast<char>(bits >> count & 0xFF));
    }
  }
  return out;
}

// A member that is a path: given as text, or as base64 of its bytes when it
// is no UTF-8; never both. Empty when there is neither.
inline std::string PathOf(const std::map<std::string, JsonValue>& entry, const std::string& name) {
  const auto text = entry.find(name);
  const auto coded = entry.find(name + "_base64");
  EXPECT_FALSE(text != entry.end() && coded != entry.end() && text->second.kind == JsonValue::kString)
      << name << " given twice";
  if (coded != entry.end()) return FromBase64(coded->second.text);
  if (text != entry.end() && text->second.kind == JsonValue::kString) return text->second.text;
  return std::string();
}

inline std::vector<std::map<std::string, JsonValue>> ReportEntries(const std::string& path) {
  std::vector<std::map<std::string, JsonValue>> entries;
  const testsupport::Bytes bytes = testsupport::ReadFileBytes(path);
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "a last line without its line feed";
  for (const std::string& line : testsupport::Lines(text)) entries.push_back(ParseObject(line));
  return entries;
}

}  // namespace shelfscantest
