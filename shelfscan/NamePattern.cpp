#include "NamePattern.h"

namespace shelfscan {

namespace {

// The code points of wide text: Windows' surrogate pairs joined, a lone
// surrogate (or, on Linux, an escaped byte) as it is.
std::u32string CodePoints(const std::wstring& text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      c &= 0xFFFF;
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
        const char32_t low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
        if (low >= 0xDC00 && low <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    out.push_back(c);
  }
  return out;
}

bool IsSeparator(wchar_t c) {
#ifdef _WIN32
  return c == L'\\' || c == L'/';
#else
  return c == L'/';
#endif
}

}  // namespace

char32_t LowerCase(char32_t c) {
  if (c < 0x80) return c >= U'A' && c <= U'Z' ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c == 0x178) return 0xFF;
  // Latin Extended-A: pairs of capital and small letter side by side.
  if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
    return c % 2 == 0 ? c + 1 : c;
  }
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return c % 2 == 1 ? c + 1 : c;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
  if (c == 0x3C2) return 0x3C3;  // final sigma
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

char32_t UpperCase(char32_t c) {
  if (c < 0x80) return c >= U'a' && c <= U'z' ? c - 32 : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  if (c == 0xFF) return 0x178;
  if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
    return c % 2 == 1 ? c - 1 : c;
  }
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return c % 2 == 0 ? c - 1 : c;
  if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? 0x3A3 : c - 32;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  return c;
}

NamePattern::NamePattern(const std::wstring& pattern) {
  const std::u32string p = CodePoints(pattern);
  for (std::size_t i = 0; i < p.size(); ++i) {
    Token token;
    if (p[i] == U'*') {
      // A run of stars is one star.
      if (!tokens_.empty() && tokens_.back().kind == Token::Kind::kAnyRun) continue;
      token.kind = Token::Kind::kAnyRun;
    } else if (p[i] == U'?') {
      token.kind = Token::Kind::kAnyChar;
    } else if (p[i] == U'[') {
      // The set ends at the first "]" after its first member.
      std::size_t j = i + 1;
      const bool negated = j < p.size() && (p[j] == U'!' || p[j] == U'^');
      if (negated) ++j;
      std::size_t end = j < p.size() ? p.find(U']', j + 1) : std::u32string::npos;
      if (end == std::u32string::npos) {
        token.c = LowerCase(p[i]);  // no set: a "[" of its own
      } else {
        token.kind = Token::Kind::kSet;
        token.negated = negated;
        for (std::size_t k = j; k < end; ++k) {
          if (k + 2 < end && p[k + 1] == U'-') {
            token.ranges.push_back({p[k], p[k + 2]});
            k += 2;
          } else {
            token.ranges.push_back({p[k], p[k]});
          }
        }
        i = end;
      }
    } else {
      token.c = LowerCase(p[i]);
    }
    tokens_.push_back(std::move(token));
  }
}

bool NamePattern::matchesOne(const Token& token, char32_t c) {
  switch (token.kind) {
    case Token::Kind::kChar: return LowerCase(c) == token.c;
    case Token::Kind::kAnyChar: return true;
    case Token::Kind::kAnyRun: return false;
    case Token::Kind::kSet: break;
  }
  const char32_t forms[] = {c, LowerCase(c), UpperCase(c)};
  bool in = false;
  for (const Range& range : token.ranges) {
    for (const char32_t form : forms) in = in || (form >= range.first && form <= range.last);
  }
  return in != token.negated;
}

bool NamePattern::matches(const std::wstring& text) const {
  const std::u32string name = CodePoints(text);
  constexpr std::size_t kNoStar = static_cast<std::size_t>(-1);
  std::size_t t = 0, n = 0;
  // The last "*" seen, and the first character it does not yet cover.
  std::size_t star = kNoStar, resume = 0;
  while (n < name.size()) {
    if (t < tokens_.size() && tokens_[t].kind == Token::Kind::kAnyRun) {
      star = t++;
      resume = n;
    } else if (t < tokens_.size() && matchesOne(tokens_[t], name[n])) {
      ++t;
      ++n;
    } else if (star != kNoStar) {
      // Let the last star take one more character and try again from there.
      t = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (t < tokens_.size() && tokens_[t].kind == Token::Kind::kAnyRun) ++t;
  return t == tokens_.size();
}

std::wstring PatternProblem(const std::wstring& pattern) {
  if (pattern.empty()) return L"An exclusion pattern cannot be empty.";
  for (const wchar_t c : pattern) {
    if (IsSeparator(c)) {
      return std::wstring(L"An exclusion pattern is matched against names, which cannot hold \"") + c + L"\".";
    }
  }
  return std::wstring();
}

Exclusions::Exclusions(const std::vector<std::wstring>& patterns) {
  for (const std::wstring& pattern : patterns) patterns_.emplace_back(pattern);
}

bool Exclusions::matchName(const std::wstring& name) const {
  for (const NamePattern& pattern : patterns_) {
    if (pattern.matches(name)) return true;
  }
  return false;
}

bool Exclusions::matchLastName(const std::wstring& path) const {
  if (patterns_.empty()) return false;
  std::size_t end = path.size();
  while (end > 0 && IsSeparator(path[end - 1])) --end;
  std::size_t start = end;
  while (start > 0 && !IsSeparator(path[start - 1])) --start;
  return matchName(path.substr(start, end - start));
}

}  // namespace shelfscan
