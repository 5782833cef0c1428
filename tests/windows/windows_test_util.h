// Shared pieces of the Windows end-to-end tests: the built programs beside
// the test program, wide and UTF-8 text, and file checks through the
// system's wide calls.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>

#include <string>
#include <vector>

#include "platform/process.h"
#include "workbook_file.h"

namespace wintest {

inline std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

inline std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

// A program built beside the test program (CMake puts all of them in bin\).
inline std::string Built(const std::string& name) {
  return Utf8(platform::OwnExecutableFolder()) + "\\" + name;
}

// A command line the stand-in recorded, without the options that say where
// the file was found (" \"-beneath:ROOT\"", " -identity:V:I"); `root`, when
// given, must be the root named.
inline std::string WithoutPlace(const std::string& call, const std::string& root = "") {
  std::string out = call;
  const std::size_t beneath = out.find(" \"-beneath:");
  if (beneath != std::string::npos) {
    const std::size_t end = out.find('"', beneath + 2);
    if (!root.empty()) {
      EXPECT_EQ(out.substr(beneath + 11, end - beneath - 11), root) << call;
    }
    out.erase(beneath, end + 1 - beneath);
  } else {
    EXPECT_TRUE(root.empty()) << "no -beneath: in " << call;
  }
  const std::size_t identity = out.find(" -identity:");
  if (identity != std::string::npos) {
    std::size_t end = identity + 11;
    while (end < out.size() && (std::isdigit(static_cast<unsigned char>(out[end])) || out[end] == ':')) ++end;
    out.erase(identity, end - identity);
  }
  return out;
}

inline bool Exists(const std::string& path) {
  return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Names in a folder (UTF-8), without "." and "..".
inline std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(Wide(folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(Utf8(name));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

inline bool MakeFolder(const std::string& path) { return CreateDirectoryW(Wide(path).c_str(), nullptr) != 0; }

inline bool CopyInto(const std::string& source, const std::string& target) {
  return CopyFileW(Wide(source).c_str(), Wide(target).c_str(), TRUE) != 0;
}

inline std::string Text(const testsupport::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace wintest
