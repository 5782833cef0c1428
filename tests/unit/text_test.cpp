// Names must reach the file system byte for byte, whatever their encoding.
#include <gtest/gtest.h>

#include <errno.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/hresult.h"
#include "platform/text.h"
#include "utf8.h"

using namespace platform;

TEST(NativeText, ValidUtf8DecodesToCharacters) {
  EXPECT_EQ(DecodeNative("abc"), L"abc");
  EXPECT_EQ(DecodeNative("\xC3\xA9t\xC3\xA9"), L"\u00E9t\u00E9");
  // One character, or a surrogate pair where wide text is UTF-16.
  EXPECT_EQ(DecodeNative("\xF0\x9F\x98\x80"), L"\U0001F600");
}

TEST(NativeText, InvalidBytesRoundTripThroughEscapes) {
  const std::string samples[] = {
      std::string("\xFF\xFE"), std::string("a\x80z"), std::string("\xC3"),    // lone lead byte
      std::string("\xC0\xAF"),                                                 // overlong
      std::string("\xED\xA0\x80"),                                             // encoded surrogate
      std::string("\xF4\x90\x80\x80"),                                         // beyond U+10FFFF
      std::string("ok\xE2\x82"),                                               // cut at the end
      std::string("\0mid", 4),
  };
  for (const std::string& s : samples) {
    const std::wstring wide = DecodeNative(s);
    EXPECT_EQ(EncodeNative(wide), s);
  }
  EXPECT_EQ(DecodeNative("a\x80z"), (std::wstring{L'a', static_cast<wchar_t>(0xDC80), L'z'}));
}

TEST(NativeText, UnencodableWideTextBecomesReplacement) {
  const std::wstring lone{static_cast<wchar_t>(0xD800)};
  EXPECT_EQ(EncodeNative(lone), "\xEF\xBF\xBD");
}

// The console's encoder differs from the names' in one thing: an escaped
// byte is a lone surrogate like any other and becomes U+FFFD.
TEST(NativeText, Utf8EncoderTreatsEscapedBytesAsAsked) {
  const std::wstring text{L'a', static_cast<wchar_t>(0xDC80), L'\u00E9', static_cast<wchar_t>(0xD800), L'z'};
  EXPECT_EQ(EncodeUtf8(text, LoneSurrogate::kEscapedByte), "a\x80\xC3\xA9\xEF\xBF\xBDz");
  EXPECT_EQ(EncodeUtf8(text, LoneSurrogate::kReplacement), "a\xEF\xBF\xBD\xC3\xA9\xEF\xBF\xBDz");
  // A character beyond U+FFFF: four bytes, from a surrogate pair on Windows.
  EXPECT_EQ(EncodeUtf8(L"\U0001F600", LoneSurrogate::kReplacement), "\xF0\x9F\x98\x80");
}

TEST(NativeText, Utf16ConversionKeepsPairsAndLoneSurrogates) {
  const std::u16string units{u'A', 0xD83D, 0xDE00, 0xDC00};
  const std::wstring wide = FromUtf16(units);
  EXPECT_EQ(ToUtf16(wide), units);
}

TEST(NativeText, LineSanitizingReplacesControlsAndEscapes) {
  const std::wstring in{L'a', L'\n', L'b', L'\r', 0x7F, static_cast<wchar_t>(0xDCFF), L'\u00E9'};
  const std::wstring out{L'a', 0xFFFD, L'b', 0xFFFD, 0xFFFD, 0xFFFD, L'\u00E9'};
  EXPECT_EQ(SanitizeForLine(in), out);
  // C1 from U+0080 to U+009F; its neighbours are characters.
  const std::wstring c1{0x1F, 0x20, 0x7E, 0x80, 0x9B, 0x9F, 0xA0, 0xFFFD};
  EXPECT_EQ(SanitizeForLine(c1), (std::wstring{0xFFFD, 0x20, 0x7E, 0xFFFD, 0xFFFD, 0xFFFD, 0xA0, 0xFFFD}));
}

TEST(NativeText, LineSanitizingReplacesLineSeparatorsAndBidirectionalControls) {
  // Each range with the characters just outside it, which stay.
  const wchar_t replaced[] = {0x85,   0x2028, 0x2029, 0x202A, 0x202B, 0x202C, 0x202D, 0x202E,
                              0x2066, 0x2067, 0x2068, 0x2069, 0x200E, 0x200F, 0x061C};
  const wchar_t kept[] = {0x2027, 0x202F, 0x2065, 0x206A, 0x200D, 0x2010, 0x061B, 0x061D, 0x05D0};
  for (const wchar_t c : replaced) {
    EXPECT_EQ(SanitizeForLine(std::wstring{L'a', c, L'b'}), L"a\uFFFDb") << std::hex << static_cast<int>(c);
    EXPECT_EQ(SanitizeKeepingLineEnds(std::wstring{c, L'\n'}), L"\uFFFD\n") << std::hex << static_cast<int>(c);
  }
  for (const wchar_t c : kept) {
    EXPECT_EQ(SanitizeForLine(std::wstring{L'a', c, L'b'}), (std::wstring{L'a', c, L'b'}))
        << std::hex << static_cast<int>(c);
  }
}

TEST(NativeText, SanitizingOfSeveralLinesKeepsOnlyTheirLineEnds) {
  EXPECT_EQ(SanitizeKeepingLineEnds(L"one\ntwo\r\nthree\n"), L"one\ntwo\r\nthree\n");
  // A carriage return not before a line feed, and every other control, are
  // no line end.
  EXPECT_EQ(SanitizeKeepingLineEnds(L"a\rb\x1B[1m\t\n\r"), L"a\uFFFDb\uFFFD[1m\uFFFD\n\uFFFD");
  EXPECT_EQ(SanitizeKeepingLineEnds(L"\n\n\r\r\n"), L"\n\n\uFFFD\r\n");
  EXPECT_EQ(SanitizeKeepingLineEnds(L""), L"");
}

#ifndef _WIN32

TEST(SystemErrors, ErrnoMapsToWin32Numbers) {
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT, "/"), kErrorFileNotFound);
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT, "/no-such-folder-here/x"), kErrorPathNotFound);
  EXPECT_EQ(Win32ErrorFromErrno(EACCES), kErrorAccessDenied);
  EXPECT_EQ(Win32ErrorFromErrno(EPERM), kErrorAccessDenied);
  EXPECT_EQ(Win32ErrorFromErrno(EEXIST), kErrorFileExists);
  EXPECT_EQ(Win32ErrorFromErrno(ENOSPC), kErrorDiskFull);
  EXPECT_EQ(Win32ErrorFromErrno(EFBIG), kErrorFileTooLarge);
  EXPECT_EQ(Win32ErrorFromErrno(EROFS), kErrorWriteProtect);
  EXPECT_EQ(Win32ErrorFromErrno(ELOOP), kErrorCantResolveFilename);
  EXPECT_EQ(Win32ErrorFromErrno(ECHILD), kErrorGenFailure);
  std::wstring text;
  EXPECT_TRUE(SystemMessageText(kErrorFileExists, text));
  EXPECT_EQ(text, L"The file exists.");
  EXPECT_FALSE(SystemMessageText(12345, text));
}

// Error texts (such as a file system exception's, naming a path) decode as
// names do, so that their undecodable bytes reach the log as they came.
TEST(SystemErrors, NarrowTextsDecodeAsNames) {
  EXPECT_EQ(DecodeSystemText("Permission denied: \"/d/\xC3\xA9\""), L"Permission denied: \"/d/\u00E9\"");
  EXPECT_EQ(EncodeNative(DecodeSystemText("x\xFFy")), "x\xFFy");
}

#else

TEST(SystemErrors, SystemTextComesWholeWithItsLineEnd) {
  std::wstring text;
  ASSERT_TRUE(SystemMessageText(kErrorAccessDenied, text));
  ASSERT_GE(text.size(), 3u);
  EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
  EXPECT_EQ(text.find(L'\0'), std::wstring::npos);
  EXPECT_FALSE(SystemMessageText(12345, text));
}

TEST(SystemErrors, NarrowTextsGoThroughTheAnsiCodePage) {
  EXPECT_EQ(DecodeSystemText("Access denied: \"c:\\x\""), L"Access denied: \"c:\\x\"");
  EXPECT_EQ(DecodeSystemText(""), L"");
  if (GetACP() != 1252) GTEST_SKIP() << "the ANSI code page here is " << GetACP() << ", not 1252";
  // 0xE9 is e acute in Windows-1252, not the start of a UTF-8 sequence.
  EXPECT_EQ(DecodeSystemText("caf\xE9 \x80"), L"caf\u00E9 \u20AC");
}

#endif
