// Between the scan's wide text and Boost.Filesystem paths. Windows paths are
// wide already; Linux paths are bytes, encoded and decoded as text.h does, so
// that any name the system allows comes through unchanged.
#pragma once

#include <string>

#include <boost/filesystem/path.hpp>

#include "platform/text.h"

namespace shelfscan {

inline boost::filesystem::path ToFsPath(const std::wstring& text) {
#ifdef _WIN32
  return boost::filesystem::path(text);
#else
  return boost::filesystem::path(platform::EncodeNative(text));
#endif
}

inline std::wstring FromFsPath(const boost::filesystem::path& path) {
#ifdef _WIN32
  return path.wstring();
#else
  return platform::DecodeNative(path.string());
#endif
}

}  // namespace shelfscan
