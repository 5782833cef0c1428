// Wide text and the system's byte strings.
//
// On Linux file names and arguments are bytes. They are decoded as UTF-8, each
// byte of an invalid sequence becoming a lone surrogate U+DC80..U+DCFF, and
// encoded back the same way, so that any name reaches the system unchanged.
// On Windows the wide strings are the system's own UTF-16.
#pragma once

#include <string>

namespace platform {

// Bytes (UTF-8 with escaped invalid bytes) to wide text.
std::wstring DecodeNative(const std::string& bytes);
// Wide text to bytes: the inverse of DecodeNative. Lone surrogates outside
// U+DC80..U+DCFF and values beyond U+10FFFF become U+FFFD.
std::string EncodeNative(const std::wstring& text);

// UTF-16 code units (as stored in files) to wide text and back. On Linux a
// valid surrogate pair becomes one character; a lone surrogate stays a lone
// surrogate.
std::wstring FromUtf16(const std::u16string& units);
std::u16string ToUtf16(const std::wstring& text);

// A name's exact bytes as the system keeps it (Linux EncodeNative, Windows
// its UTF-16LE code units), and the name back from them.
std::string NameBytes(const std::wstring& name);
std::wstring NameFromBytes(const std::string& bytes);

// Text fit for one line of a log or the console, shown in the order it is
// written: every lone surrogate (an undecodable byte), every control
// character (U+0000..U+001F, U+007F and the C1 range U+0080..U+009F), the
// line and paragraph separators U+2028 and U+2029, and the bidirectional
// controls (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069) become
// U+FFFD.
std::wstring SanitizeForLine(const std::wstring& text);
// The same for a text of several lines composed by the program: each line
// feed, alone or after a carriage return, stays the line end it is.
std::wstring SanitizeKeepingLineEnds(const std::wstring& text);

// A narrow text from the system or a library (such as an exception's
// message) as wide text: Linux decodes it as DecodeNative does, Windows
// through the ANSI code page (MultiByteToWideChar with CP_ACP). "" when it
// cannot be converted.
std::wstring DecodeSystemText(const std::string& narrow);

}  // namespace platform
