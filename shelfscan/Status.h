// The status of a checked file: one of Bookmender's results, named as
// ResultCode.h names it, or one of Shelfscan's own. A status is its place in
// kStatusWords, the order in which the summary lists them; the log shows
// "[word],", the summary "[word]" and the report "word".
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "frontend/ResultCode.h"

namespace shelfscan {

using Status = std::size_t;

// Shelfscan's own statuses, after Bookmender's: a run that passed its time
// limit, an exit code Bookmender never gives, and a run that failed.
inline constexpr const wchar_t* kOwnWords[] = {L"timed out", L"unexpected", L"scan err"};

namespace detail {

constexpr std::size_t CountStatuses() {
  std::size_t n = sizeof kOwnWords / sizeof kOwnWords[0];
  for (const bookmender::ResultName& name : bookmender::kResultNames) {
    n += name.fixWord == nullptr ? 1 : 2;
  }
  return n;
}

constexpr std::array<const wchar_t*, CountStatuses()> StatusWords() {
  std::array<const wchar_t*, CountStatuses()> words{};
  std::size_t i = 0;
  for (const bookmender::ResultName& name : bookmender::kResultNames) {
    words[i++] = name.word;
    if (name.fixWord != nullptr) words[i++] = name.fixWord;
  }
  for (const wchar_t* word : kOwnWords) words[i++] = word;
  return words;
}

}  // namespace detail

inline constexpr auto kStatusWords = detail::StatusWords();

inline constexpr Status kTimedOutStatus = kStatusWords.size() - 3;
inline constexpr Status kUnexpectedStatus = kStatusWords.size() - 2;
inline constexpr Status kScanErrorStatus = kStatusWords.size() - 1;

// The status of a run that ended with `exitCode` (0 or more).
constexpr Status StatusOf(int exitCode, bool fixMode) {
  Status at = 0;
  for (const bookmender::ResultName& name : bookmender::kResultNames) {
    const bool two = name.fixWord != nullptr;
    if (static_cast<int>(name.code) == exitCode) return at + (two && fixMode ? 1 : 0);
    at += two ? 2 : 1;
  }
  return kUnexpectedStatus;
}

// "[word],", as the main log shows it.
inline std::wstring StatusLabel(Status status) { return L"[" + std::wstring(kStatusWords[status]) + L"],"; }
inline std::wstring StatusLabel(int exitCode, bool fixMode) { return StatusLabel(StatusOf(exitCode, fixMode)); }
// "[word]", as the summary shows it.
inline std::wstring SummaryLabel(Status status) { return L"[" + std::wstring(kStatusWords[status]) + L"]"; }

}  // namespace shelfscan
