// The one UTF-8 encoder of wide text, shared by the Linux names (text.cpp)
// and the Windows console written to a file or pipe (win32/console.cpp).
// Internal to the platform library.
#pragma once

#include <string>

namespace platform {

// What becomes of a lone surrogate. Both ways a value beyond U+10FFFF (Linux
// only) becomes U+FFFD.
enum class LoneSurrogate {
  // U+DC80..U+DCFF go out as the byte each stands for (see text.h), any
  // other as U+FFFD: the inverse of DecodeNative.
  kEscapedByte,
  // Every one becomes U+FFFD: on Windows the text is the system's UTF-16,
  // which holds no escaped bytes, and the line must stay valid UTF-8.
  kReplacement,
};

std::string EncodeUtf8(const std::wstring& text, LoneSurrogate lone);

}  // namespace platform
