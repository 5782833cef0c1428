#include "platform/text.h"

#include <cstdint>
#include <type_traits>

#include "utf8.h"

namespace platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsEscapedByte(char32_t c) { return c >= 0xDC80 && c <= 0xDCFF; }

// Appends one code point (or a lone surrogate) as UTF-16 units: a surrogate
// pair from U+10000 on. `c` is at most U+10FFFF.
template <typename Units>
void AppendUtf16(Units& out, char32_t c) {
  using Unit = typename Units::value_type;
  if (c >= 0x10000) {
    c -= 0x10000;
    out.push_back(static_cast<Unit>(0xD800 + (c >> 10)));
    out.push_back(static_cast<Unit>(0xDC00 + (c & 0x3FF)));
  } else {
    out.push_back(static_cast<Unit>(c));
  }
}

// Reads the next code point of UTF-16 units: a valid surrogate pair as one,
// a lone surrogate as it is.
template <typename Units>
char32_t NextUtf16(const Units& units, std::size_t& i) {
  char32_t c = static_cast<char16_t>(units[i++]);
  if (c >= 0xD800 && c <= 0xDBFF && i < units.size()) {
    const char32_t low = static_cast<char16_t>(units[i]);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      ++i;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    }
  }
  return c;
}

// Appends one code point (or a lone surrogate) to wide text.
void AppendWide(std::wstring& out, char32_t c) {
  if constexpr (sizeof(wchar_t) == 2) {
    AppendUtf16(out, c);
  } else {
    out.push_back(static_cast<wchar_t>(c));
  }
}

// Reads the next code point of wide text; a lone surrogate comes back as is.
char32_t NextWide(const std::wstring& text, std::size_t& i) {
  if constexpr (sizeof(wchar_t) == 2) {
    return NextUtf16(text, i);
  } else {
    return static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i++]));
  }
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Length of the valid UTF-8 sequence at `i`, with its code point, or 0.
std::size_t DecodeUtf8At(const std::string& s, std::size_t i, char32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  std::size_t len;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms, encoded surrogates and values beyond Unicode are invalid,
  // so that decoding and encoding give back the same bytes.
  if (cp < min || IsSurrogate(cp) || cp > 0x10FFFF) return 0;
  return len;
}

// The code points of wide text, each handed to `append(out, c)`.
template <typename Out, typename Append>
Out EachCodePoint(const std::wstring& text, Append append) {
  Out out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) append(out, NextWide(text, i));
  return out;
}

// Neither a lone surrogate nor beyond Unicode.
bool IsCharacter(char32_t c) { return !IsSurrogate(c) && c <= 0x10FFFF; }

}  // namespace

std::wstring DecodeNative(const std::string& bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8At(bytes, i, cp);
    if (len == 0) {
      AppendWide(out, 0xDC00 + static_cast<unsigned char>(bytes[i]));
      ++i;
    } else {
      AppendWide(out, cp);
      i += len;
    }
  }
  return out;
}

std::string EncodeUtf8(const std::wstring& text, LoneSurrogate lone) {
  return EachCodePoint<std::string>(text, [lone](std::string& out, char32_t c) {
    if (lone == LoneSurrogate::kEscapedByte && IsEscapedByte(c)) {
      out.push_back(static_cast<char>(c - 0xDC00));
    } else {
      AppendUtf8(out, IsCharacter(c) ? c : kReplacement);
    }
  });
}

std::string EncodeNative(const std::wstring& text) { return EncodeUtf8(text, LoneSurrogate::kEscapedByte); }

std::wstring FromUtf16(const std::u16string& units) {
  std::wstring out;
  out.reserve(units.size());
  std::size_t i = 0;
  while (i < units.size()) AppendWide(out, NextUtf16(units, i));
  return out;
}

std::u16string ToUtf16(const std::wstring& text) {
  // A lone surrogate stays one.
  return EachCodePoint<std::u16string>(
      text, [](std::u16string& out, char32_t c) { AppendUtf16(out, c > 0x10FFFF ? kReplacement : c); });
}

namespace {

// C0, DEL and C1: the C1 range holds a one-character CSI (U+009B) that some
// terminals obey as readily as ESC [, and NEL (U+0085), a line end to some
// readers. The line and paragraph separators end a line for readers that
// honour them, so a name could forge a line of its own. The bidirectional
// controls (every character of Unicode's Bidi_Control property) reorder what
// follows them on the screen: a name could show another name, or its label
// and path in another order.
bool BreaksOrReordersLine(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C;
}

}  // namespace

std::wstring SanitizeForLine(const std::wstring& text) {
  return EachCodePoint<std::wstring>(text, [](std::wstring& out, char32_t c) {
    AppendWide(out, IsCharacter(c) && !BreaksOrReordersLine(c) ? c : kReplacement);
  });
}

std::wstring SanitizeKeepingLineEnds(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(L'\n', start);
    std::wstring piece = text.substr(start, end == std::wstring::npos ? end : end - start);
    const bool crLf = end != std::wstring::npos && !piece.empty() && piece.back() == L'\r';
    if (crLf) piece.pop_back();
    out += SanitizeForLine(piece);
    if (end == std::wstring::npos) return out;
    out += crLf ? L"\r\n" : L"\n";
    start = end + 1;
  }
}

std::string NameBytes(const std::wstring& name) {
#ifdef _WIN32
  std::string bytes;
  for (const char16_t unit : ToUtf16(name)) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
#else
  return EncodeNative(name);
#endif
}

std::wstring NameFromBytes(const std::string& bytes) {
#ifdef _WIN32
  std::u16string units;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return FromUtf16(units);
#else
  return DecodeNative(bytes);
#endif
}

}  // namespace platform
