#include "ReportReader.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <vector>

#include "MainLog.h"
#include "Status.h"
#include "frontend/ResultCode.h"
#include "platform/text.h"

namespace shelfscan {

namespace {

// One value as the report writes them: a string (its UTF-8 bytes), a
// number (its text) or null.
struct Value {
  enum Kind { kString, kNumber, kNull } kind = kNull;
  std::string text;
};

class LineParser {
 public:
  explicit LineParser(const std::string& line) : line_(line) {}

  // The members of the one object the line holds; false with the reason.
  bool object(std::map<std::string, Value>& members, std::wstring& problem) {
    if (!take('{')) return fail(problem, L"it does not start an object");
    if (take('}')) return at_ == line_.size() || fail(problem, L"something follows the object");
    for (;;) {
      std::string name;
      Value value;
      if (!string(name) || !take(':') || !this->value(value)) return fail(problem, L"it is no member at column " + Column());
      if (!members.emplace(name, value).second) {
        return fail(problem, L"the member " + platform::DecodeNative(name) + L" is there twice");
      }
      if (take(',')) continue;
      if (take('}')) break;
      return fail(problem, L"it has no comma or end at column " + Column());
    }
    return at_ == line_.size() || fail(problem, L"something follows the object");
  }

 private:
  static bool fail(std::wstring& problem, const std::wstring& why) {
    problem = why;
    return false;
  }
  std::wstring Column() const { return std::to_wstring(at_ + 1); }
  bool take(char c) {
    if (at_ >= line_.size() || line_[at_] != c) return false;
    ++at_;
    return true;
  }
  static int Hex(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
  }
  bool unit(std::uint32_t& value) {
    if (line_.size() - at_ < 5 || line_[at_] != 'u') return false;
    value = 0;
    for (std::size_t k = 1; k <= 4; ++k) {
      const int h = Hex(line_[at_ + k]);
      if (h < 0) return false;
      value = value << 4 | static_cast<std::uint32_t>(h);
    }
    at_ += 5;
    return true;
  }
  static void Utf8(std::string& out, std::uint32_t c) {
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
  // A JSON string; its text must be valid UTF-8 without a lone surrogate.
  bool string(std::string& out) {
    if (!take('"')) return false;
    out.clear();
    while (at_ < line_.size() && line_[at_] != '"') {
      const char c = line_[at_++];
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (at_ >= line_.size()) return false;
      const char e = line_[at_];
      static const std::string kSimple = "\"\\/bfnrt";
      static const std::string kMeant = "\"\\/\b\f\n\r\t";
      if (kSimple.find(e) != std::string::npos) {
        out.push_back(kMeant[kSimple.find(e)]);
        ++at_;
        continue;
      }
      std::uint32_t c16 = 0;
      if (!unit(c16)) return false;
      if (c16 >= 0xDC00 && c16 <= 0xDFFF) return false;
      if (c16 >= 0xD800 && c16 <= 0xDBFF) {
        std::uint32_t low = 0;
        if (!take('\\') || !unit(low) || low < 0xDC00 || low > 0xDFFF) return false;
        c16 = 0x10000 + ((c16 - 0xD800) << 10) + (low - 0xDC00);
      }
      Utf8(out, c16);
    }
    if (!take('"')) return false;
    const std::wstring text = platform::DecodeNative(out);
    return IsUnicodeText(text) && platform::EncodeNative(text) == out;
  }
  // A number as JSON writes it: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
  bool number(std::string& out) {
    const std::size_t start = at_;
    const auto digits = [this] {
      const std::size_t from = at_;
      while (at_ < line_.size() && line_[at_] >= '0' && line_[at_] <= '9') ++at_;
      return at_ - from;
    };
    take('-');
    const std::size_t first = at_;
    const std::size_t whole = digits();
    if (whole == 0 || (whole > 1 && line_[first] == '0')) return false;
    if (take('.') && digits() == 0) return false;
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (digits() == 0) return false;
    }
    out = line_.substr(start, at_ - start);
    return true;
  }
  bool value(Value& out) {
    if (at_ < line_.size() && line_[at_] == '"') {
      out.kind = Value::kString;
      return string(out.text);
    }
    if (line_.compare(at_, 4, "null") == 0) {
      at_ += 4;
      out.kind = Value::kNull;
      return true;
    }
    out.kind = Value::kNumber;
    return number(out.text);
  }

  const std::string& line_;
  std::size_t at_ = 0;
};

// Standard base64 with its padding, exactly as Base64 writes it.
bool FromBase64(const std::string& text, std::string& bytes) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.empty() || text.size() % 4 != 0) return false;
  bytes.clear();
  std::uint32_t bits = 0;
  int count = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] != '='; ++i) {
    const std::size_t v = kAlphabet.find(text[i]);
    if (v == std::string::npos) return false;
    bits = bits << 6 | static_cast<std::uint32_t>(v);
    if ((count += 6) >= 8) {
      count -= 8;
      bytes.push_back(static_cast<char>(bits >> count & 0xFF));
    }
  }
  return Base64(bytes) == text;
}

bool IsDigest(const std::string& text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// A whole number of 0..most without a sign, a fraction or a leading zero.
bool WholeNumber(const Value& value, std::uint64_t most, std::uint64_t& out) {
  if (value.kind != Value::kNumber || value.text.empty() || value.text.size() > 20) return false;
  std::uint64_t n = 0;
  for (const char c : value.text) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t next = n * 10 + static_cast<std::uint64_t>(c - '0');
    if (next / 10 != n) return false;
    n = next;
  }
  if ((value.text.size() > 1 && value.text[0] == '0') || n > most) return false;
  out = n;
  return true;
}

bool IsStatusWord(const std::wstring& word) {
  for (const wchar_t* known : kStatusWords) {
    if (word == known) return true;
  }
  return false;
}

}  // namespace

bool IsFinalLabel(const std::wstring& label) {
  for (const bookmender::ResultName& name : bookmender::kResultNames) {
    if (name.code == bookmender::SharingViolation) continue;
    if (label == name.word || (name.fixWord != nullptr && label == name.fixWord)) return true;
  }
  return false;
}

bool ParseReportLine(const std::string& line, ReportEntry& entry, std::wstring& problem) {
  std::map<std::string, Value> members;
  if (!LineParser(line).object(members, problem)) return false;
  const auto fail = [&problem](const std::wstring& why) {
    problem = why;
    return false;
  };
  std::size_t used = 0;
  const auto find = [&](const std::string& name) -> const Value* {
    const auto it = members.find(name);
    if (it == members.end()) return nullptr;
    ++used;
    return &it->second;
  };
  // A path given as text or as base64 of its bytes, never both; `null`
  // where the report writes null for none.
  const auto path = [&](const std::string& name, bool nullable, std::optional<std::wstring>& out) {
    const Value* text = find(name);
    const Value* coded = find(name + "_base64");
    if ((text != nullptr) == (coded != nullptr)) return false;
    if (text != nullptr && text->kind == Value::kNull && nullable) return true;
    if (text != nullptr) {
      if (text->kind != Value::kString || text->text.empty()) return false;
      out = platform::DecodeNative(text->text);
      return true;
    }
    std::string bytes;
    if (coded->kind != Value::kString || !FromBase64(coded->text, bytes)) return false;
    out = platform::NameFromBytes(bytes);
    return true;
  };

  ReportEntry read;
  std::optional<std::wstring> filePath;
  if (!path("path", false, filePath)) return fail(L"it has no path");
  read.path = *filePath;
  const Value* label = find("label");
  if (label == nullptr || label->kind != Value::kString || !IsStatusWord(platform::DecodeNative(label->text))) {
    return fail(L"it has no label Shelfscan writes");
  }
  read.label = platform::DecodeNative(label->text);
  std::uint64_t n = 0;
  const Value* exit = find("exit");
  if (exit == nullptr || (exit->kind != Value::kNull && !WholeNumber(*exit, 0x7FFFFFFF, n))) {
    return fail(L"it has no exit code");
  }
  if (exit->kind != Value::kNull) read.exit = static_cast<int>(n);
  if (const Value* signal = find("signal")) {
    if (!WholeNumber(*signal, 0x7FFFFFFF, n)) return fail(L"its signal is no number");
    read.signal = static_cast<int>(n);
  }
  if (!path("backup", true, read.backup)) return fail(L"it has no backup member");
  const Value* seconds = find("seconds");
  if (seconds == nullptr || seconds->kind != Value::kNumber || seconds->text[0] == '-') {
    return fail(L"it has no seconds");
  }
  read.seconds = std::strtod(seconds->text.c_str(), nullptr);

  const bool proven = members.count("root") != 0 || members.count("root_base64") != 0 || members.count("sha256") != 0 ||
                      members.count("size") != 0 || members.count("mtime") != 0 || members.count("backup_sha256") != 0;
  if (proven) {
    bookmender::RepairProof proof;
    const Value* sha = find("sha256");
    const Value* size = find("size");
    const Value* mtime = find("mtime");
    const Value* backupSha = find("backup_sha256");
    if (!path("root", false, read.root) || sha == nullptr || sha->kind != Value::kString || !IsDigest(sha->text) ||
        size == nullptr || !WholeNumber(*size, UINT64_MAX, proof.size) || mtime == nullptr ||
        mtime->kind != Value::kString || !ParseUtcTime(mtime->text, proof.mtimeNs) || backupSha == nullptr ||
        backupSha->kind != Value::kString || !IsDigest(backupSha->text)) {
      return fail(L"its proof of the repair is incomplete or malformed");
    }
    proof.sha256 = sha->text;
    proof.backupSha256 = backupSha->text;
    read.proof = proof;
  }
  if (used != members.size()) return fail(L"it has a member Shelfscan does not write");
  entry = std::move(read);
  return true;
}

bool ReadReport(const platform::LogFile& file, const std::function<void(ReportEntry&&)>& each,
                std::wstring& problem) {
  std::vector<char> chunk(64 * 1024);
  std::string line;
  std::uint64_t offset = 0;
  std::uint64_t number = 1;
  for (;;) {
    std::size_t got = 0;
    platform::LogError error;
    if (!file.readAt(offset, chunk.data(), chunk.size(), got, error)) {
      problem = L"it cannot be read: " + LogErrorText(error);
      return false;
    }
    if (got == 0) break;
    offset += got;
    for (std::size_t i = 0; i < got; ++i) {
      if (chunk[i] != '\n') {
        if (line.size() == kMostReportLine) {
          problem = L"line " + std::to_wstring(number) + L" is longer than any entry";
          return false;
        }
        line.push_back(chunk[i]);
        continue;
      }
      ReportEntry entry;
      std::wstring why;
      if (!ParseReportLine(line, entry, why)) {
        problem = L"line " + std::to_wstring(number) + L" is no entry: " + why + L".";
        return false;
      }
      each(std::move(entry));
      line.clear();
      ++number;
    }
  }
  if (!line.empty()) {
    problem = L"line " + std::to_wstring(number) + L" has no line end.";
    return false;
  }
  return true;
}

}  // namespace shelfscan
