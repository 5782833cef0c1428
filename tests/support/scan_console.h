// A Shelfscan console read back as a script reads it: the text the scan
// wrote before its summary, kept exactly, and the summary's counts. The same
// on both systems (lines end in LF or CR LF).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// "  [ok] 3" as {"[ok]", 3}, in the order the summary gives them.
using LabelCounts = std::vector<std::pair<std::string, unsigned long>>;

struct ScanSummary {
  bool found = false;
  unsigned long files = 0;  // "N files checked in T s"
  double seconds = -1;
  LabelCounts labels;
  unsigned long passedOverForCase = 0;  // "N files passed over for the letter case of their extension" ("1 file ... its")
  unsigned long passedOverAsDone = 0;   // "N files passed over as done in the report"
};

struct ScanConsole {
  std::string before;  // everything before the summary's first line, line ends included
  ScanSummary summary;
  std::string after;   // everything after its last line: an interrupted scan's line
  std::vector<std::string> problems;  // what is wrong with the summary's form
};

// Parts `output` at its summary, which starts at the first line of the form
// "N files checked in T s". Checks the summary's form on the way: the
// singular for one file, only labels that occurred, counts that add up to
// the files.
inline ScanConsole SplitAtSummary(const std::string& output) {
  static const std::regex kHead("([0-9]+) (files?) checked in ([0-9]+\\.[0-9]) s");
  static const std::regex kLabel("  (\\[[^\\]]+\\]) ([0-9]+)");
  static const std::regex kCase("([0-9]+) (files?) passed over for the letter case of (its|their) extension");
  static const std::regex kDone("([0-9]+) (files?) passed over as done in the report");
  ScanConsole console;
  // Each line with where it starts and where the next one does.
  struct Line {
    std::string text;
    std::size_t start, next;
  };
  std::vector<Line> lines;
  for (std::size_t start = 0; start < output.size();) {
    std::size_t end = output.find('\n', start);
    const std::size_t next = end == std::string::npos ? output.size() : end + 1;
    if (end == std::string::npos) end = output.size();
    std::string text = output.substr(start, end - start);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    lines.push_back({text, start, next});
    start = next;
  }
  const auto plural = [&console](const std::smatch& m, const std::string& line) {
    if ((m[2] == "file") != (m[1] == "1")) console.problems.push_back("wrong number in \"" + line + "\"");
  };
  std::size_t i = 0;
  std::smatch m;
  while (i < lines.size() && !std::regex_match(lines[i].text, m, kHead)) ++i;
  if (i == lines.size()) {
    console.before = output;
    return console;
  }
  console.before = output.substr(0, lines[i].start);
  console.summary.found = true;
  console.summary.files = std::stoul(m[1]);
  console.summary.seconds = std::stod(m[3]);
  plural(m, lines[i].text);
  unsigned long sum = 0;
  for (++i; i < lines.size() && std::regex_match(lines[i].text, m, kLabel); ++i) {
    const unsigned long n = std::stoul(m[2]);
    if (n == 0) console.problems.push_back("a label that did not occur: \"" + lines[i].text + "\"");
    console.summary.labels.emplace_back(m[1], n);
    sum += n;
  }
  if (i < lines.size() && std::regex_match(lines[i].text, m, kCase)) {
    console.summary.passedOverForCase = std::stoul(m[1]);
    if (console.summary.passedOverForCase == 0) console.problems.push_back("a case line for no file");
    plural(m, lines[i].text);
    if ((m[3] == "its") != (m[1] == "1")) console.problems.push_back("wrong pronoun in \"" + lines[i].text + "\"");
    ++i;
  }
  if (i < lines.size() && std::regex_match(lines[i].text, m, kDone)) {
    console.summary.passedOverAsDone = std::stoul(m[1]);
    if (console.summary.passedOverAsDone == 0) console.problems.push_back("a passed-over line for no file");
    plural(m, lines[i].text);
    ++i;
  }
  if (sum != console.summary.files) {
    console.problems.push_back("the labels count " + std::to_string(sum) + " files, the first line " +
                               std::to_string(console.summary.files));
  }
  console.after = i < lines.size() ? output.substr(lines[i].start) : std::string();
  return console;
}

inline std::string Shown(const LabelCounts& labels) {
  std::ostringstream out;
  for (const auto& [label, n] : labels) out << " " << label << " " << n;
  return out.str();
}

// Whether `output` is `before` exactly, then a well-formed summary with
// `labels` (and so as many files as they add up to) and the case line for
// `passedOverForCase` files, and nothing after it.
inline ::testing::AssertionResult ScanConsoleIs(const std::string& output, const std::string& before,
                                                const LabelCounts& labels, unsigned long passedOverForCase = 0) {
  const ScanConsole console = SplitAtSummary(output);
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  bool failed = false;
  if (!console.summary.found) {
    failed = true;
    failure << "no summary;";
  }
  if (console.before != before) {
    failed = true;
    failure << " before the summary \"" << console.before << "\", not \"" << before << "\";";
  }
  if (console.summary.labels != labels) {
    failed = true;
    failure << " labels" << Shown(console.summary.labels) << ", not" << Shown(labels) << ";";
  }
  if (console.summary.passedOverForCase != passedOverForCase) {
    failed = true;
    failure << " " << console.summary.passedOverForCase << " passed over for the case, not " << passedOverForCase
            << ";";
  }
  if (!console.after.empty()) {
    failed = true;
    failure << " after the summary \"" << console.after << "\";";
  }
  for (const std::string& problem : console.problems) {
    failed = true;
    failure << " " << problem << ";";
  }
  if (!failed) return ::testing::AssertionSuccess();
  return failure << " in:\n" << output;
}

// Whatever came before it, a summary that ends `output` with `labels` and
// the case line for `passedOverForCase` files: for a console whose lines
// come in no fixed order, checked apart.
inline ::testing::AssertionResult EndsInSummary(const std::string& output, const LabelCounts& labels,
                                                unsigned long passedOverForCase = 0) {
  return ScanConsoleIs(output, SplitAtSummary(output).before, labels, passedOverForCase);
}

// `lines` as a console shows them, each ended by `end`.
inline std::string ConsoleText(const std::vector<std::string>& lines, const std::string& end = "\n") {
  std::string text;
  for (const std::string& line : lines) text += line + end;
  return text;
}

}  // namespace testsupport
