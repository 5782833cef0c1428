// The patterns of "-exclude:": a file or folder whose name matches one is
// neither checked nor entered.
#pragma once

#include <string>
#include <vector>

namespace shelfscan {

// A glob over one name: "*" any run of characters (none included), "?" one
// character, "[...]" one character of a set, "[!...]" or "[^...]" one not in
// it, where "a-z" is a range and a "]" right after the opening (or its "!")
// stands for itself; a "[" without its "]" is itself. Every other character
// stands for itself; there is no escape character (a backslash separates
// folders on Windows). Letter case is ignored for the letters of the Latin
// (up to Latin Extended-A), Greek and Cyrillic alphabets.
//
// Every token but "*" takes exactly one character, so matching keeps only
// the last "*" to fall back to: time grows with the name's length times the
// pattern's, never exponentially.
class NamePattern {
 public:
  explicit NamePattern(const std::wstring& pattern);
  bool matches(const std::wstring& name) const;

 private:
  struct Range {
    char32_t first;
    char32_t last;
  };
  struct Token {
    enum class Kind { kChar, kAnyChar, kAnyRun, kSet } kind = Kind::kChar;
    char32_t c = 0;             // kChar, case folded
    bool negated = false;       // kSet
    std::vector<Range> ranges;  // kSet, as written
  };
  static bool matchesOne(const Token& token, char32_t c);

  std::vector<Token> tokens_;
};

// What is wrong with a pattern given to "-exclude:", or "" when nothing:
// an empty pattern, or one that holds a folder separator (it could never
// match a name).
std::wstring PatternProblem(const std::wstring& pattern);

// The "-exclude:" patterns of one run.
class Exclusions {
 public:
  explicit Exclusions(const std::vector<std::wstring>& patterns);
  bool empty() const { return patterns_.empty(); }
  // Whether the name (one path component) matches any of them.
  bool matchName(const std::wstring& name) const;
  // Whether the last name of `path` matches: its last component, trailing
  // separators left aside.
  bool matchLastName(const std::wstring& path) const;

 private:
  std::vector<NamePattern> patterns_;
};

// The lower-case form of `c` for the alphabets above; anything else as it
// is. UpperCase is its inverse there.
char32_t LowerCase(char32_t c);
char32_t UpperCase(char32_t c);

}  // namespace shelfscan
