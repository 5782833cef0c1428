#include "platform/beneath.h"

#include <algorithm>
#include <cwchar>

#include "platform/process.h"

namespace platform {

std::wstring FormatIdentity(const FileIdentity& identity) {
  return std::to_wstring(identity.device) + L":" + std::to_wstring(identity.file);
}

bool ParseIdentity(const std::wstring& text, FileIdentity& identity) {
  const auto number = [](const std::wstring& digits, std::uint64_t& value) {
    if (digits.empty() || digits.size() > 20) return false;
    value = 0;
    for (const wchar_t c : digits) {
      if (c < L'0' || c > L'9') return false;
      const std::uint64_t next = value * 10 + static_cast<std::uint64_t>(c - L'0');
      if (next / 10 != value) return false;  // wrapped
      value = next;
    }
    return true;
  };
  const std::size_t colon = text.find(L':');
  if (colon == std::wstring::npos) return false;
  FileIdentity parsed;
  if (!number(text.substr(0, colon), parsed.device) || !number(text.substr(colon + 1), parsed.file)) return false;
  identity = parsed;
  return true;
}

std::optional<std::wstring> BelowRoot(const std::wstring& root, const std::wstring& path) {
  const auto separator = [](wchar_t c) {
#ifdef _WIN32
    return c == L'\\' || c == L'/';
#else
    return c == L'/';
#endif
  };
  // A bare name lies in the current folder.
  if (root == L"." && !path.empty() && !separator(path[0]) &&
      std::none_of(path.begin(), path.end(), separator)) {
    return path;
  }
  if (root.empty() || path.size() <= root.size() || path.compare(0, root.size(), root) != 0) return std::nullopt;
  std::size_t at = root.size();
  if (!separator(root.back())) {
    if (!separator(path[at])) return std::nullopt;
    ++at;
  }
  while (at < path.size() && separator(path[at])) ++at;
  if (at >= path.size()) return std::nullopt;
  return path.substr(at);
}

bool LinkBelowRoot(const std::wstring& root, const std::wstring& path) {
  const std::optional<std::wstring> below = BelowRoot(root, path);
  if (!below) return false;
  const std::size_t start = path.size() - below->size();
  for (std::size_t at = start; at <= path.size(); ++at) {
    const bool end = at == path.size();
#ifdef _WIN32
    const bool separator = !end && (path[at] == L'\\' || path[at] == L'/');
#else
    const bool separator = !end && path[at] == L'/';
#endif
    if ((end || separator) && at > start && IsLinkNow(path.substr(0, at))) return true;
  }
  return false;
}

}  // namespace platform
