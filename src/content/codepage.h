// Text in 8-bit code pages converted to UTF-8: the texts of ANSI stores, HTML
// bodies stored as bytes, and the text runs of RTF bodies.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "store/bytes.h"

namespace velmorix::content {

inline constexpr int kCodePageWindows1252 = 1252;
inline constexpr int kCodePageUtf8 = 65001;
inline constexpr int kCodePageUtf16le = 1200;

// The Windows code page of a charset name as MIME and HTML give them
// ("iso-8859-2", "Shift_JIS", "utf-8"); 0 when unknown.
int CodePageOfCharset(std::string_view charset);

// The code page of an RTF font's \fcharset value; 0 when it names none.
int CodePageOfRtfCharset(int charset);

// Converts code-page text to UTF-8. Windows-1252, Latin-1, ASCII, UTF-8 and
// UTF-16LE are converted here; other code pages through the C library's
// iconv, whose handles are kept open for the decoder's lifetime. A code page
// that neither knows is read as Windows-1252. Bytes that do not convert become
// U+FFFD; the text ends at its first NUL character. One decoder serves one
// thread at a time.
class TextDecoder {
 public:
  TextDecoder();
  ~TextDecoder();
  TextDecoder(const TextDecoder&) = delete;
  TextDecoder& operator=(const TextDecoder&) = delete;

  std::string ToUtf8(ByteSpan bytes, int codePage);
  // Appends instead of returning (RTF runs are converted piece by piece).
  void AppendUtf8(ByteSpan bytes, int codePage, std::string& out);

 private:
  class Converter;
  Converter* ConverterFor(int codePage);
  std::unordered_map<int, std::unique_ptr<Converter>> converters_;
};

// Appends the UTF-8 form of one code point (U+FFFD for values that are not
// characters).
void AppendCodePoint(uint32_t cp, std::string& out);

// Copies UTF-8 text, replacing every byte that is not part of a valid
// sequence with U+FFFD.
std::string ValidUtf8(std::string_view text);

}  // namespace velmorix::content
