#include "content/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "items/text.h"

namespace velmorix::content {
namespace {

// Windows-1252 0x80-0x9F; the five unassigned bytes keep their C1 values.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

ByteSpan UpToNul(ByteSpan bytes) {
  if (bytes.empty()) return bytes;
  const void* nul = std::memchr(bytes.data(), 0, bytes.size());
  if (!nul) return bytes;
  return bytes.first(static_cast<size_t>(static_cast<const std::byte*>(nul) - bytes.data()));
}

void AppendCp1252(ByteSpan bytes, bool latin1, std::string& out) {
  out.reserve(out.size() + bytes.size() + bytes.size() / 4);
  for (std::byte b : bytes) {
    const auto c = static_cast<uint8_t>(b);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0xA0 && !latin1) {
      AppendCodePoint(kCp1252High[c - 0x80], out);
    } else {
      AppendCodePoint(c, out);
    }
  }
}

void AppendAscii(ByteSpan bytes, std::string& out) {
  for (std::byte b : bytes) {
    const auto c = static_cast<uint8_t>(b);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      AppendCodePoint(0xFFFD, out);
    }
  }
}

// Length of the valid UTF-8 sequence at `p`, or 0.
size_t Utf8Sequence(const unsigned char* p, size_t n) {
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  size_t len;
  uint32_t cp;
  if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (len > n) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void AppendValidUtf8(std::string_view text, std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    size_t run = i;
    while (run < n && p[run] < 0x80) ++run;
    out.append(text.data() + i, run - i);
    i = run;
    if (i >= n) break;
    const size_t len = Utf8Sequence(p + i, n - i);
    if (len == 0) {
      AppendCodePoint(0xFFFD, out);
      ++i;
    } else {
      out.append(text.data() + i, len);
      i += len;
    }
  }
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// iconv names to try for a code page, most specific first.
std::vector<std::string> IconvNames(int cp) {
  const std::string n = std::to_string(cp);
  if (cp >= 28591 && cp <= 28599) return {"ISO-8859-" + std::to_string(cp - 28590)};
  switch (cp) {
    case 1201: return {"UTF-16BE"};
    case 65000: return {"UTF-7"};
    case 28603: return {"ISO-8859-13"};
    case 28605: return {"ISO-8859-15"};
    case 932: return {"CP932", "SHIFT_JIS"};
    case 936: return {"CP936", "GBK"};
    case 949: return {"CP949", "EUC-KR"};
    case 950: return {"CP950", "BIG5"};
    case 1361: return {"JOHAB"};
    case 20866: return {"KOI8-R"};
    case 21866: return {"KOI8-U"};
    case 20932: case 51932: return {"EUC-JP"};
    case 50220: case 50221: case 50222: return {"ISO-2022-JP"};
    case 50225: return {"ISO-2022-KR"};
    case 51936: return {"GB2312"};
    case 51949: return {"EUC-KR"};
    case 52936: return {"HZ-GB-2312", "GBK"};
    case 54936: return {"GB18030"};
    case 10000: return {"MACINTOSH"};
    default: return {"CP" + n, "WINDOWS-" + n};
  }
}

}  // namespace

void AppendCodePoint(uint32_t cp, std::string& out) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendValidUtf8(text, out);
  return out;
}

int CodePageOfCharset(std::string_view charset) {
  std::string c = Lower(charset);
  std::erase_if(c, [](char ch) { return ch == '"' || ch == '\'' || std::isspace(static_cast<unsigned char>(ch)); });
  if (c == "utf-8" || c == "utf8") return kCodePageUtf8;
  if (c == "us-ascii" || c == "ascii") return 20127;
  if (c == "iso-8859-1" || c == "latin1" || c == "windows-1252" || c == "cp1252") return 1252;
  if (c == "utf-16" || c == "utf-16le" || c == "unicode") return kCodePageUtf16le;
  if (c == "shift_jis" || c == "shift-jis" || c == "sjis" || c == "windows-31j" || c == "cp932") return 932;
  if (c == "gb2312" || c == "gbk" || c == "cp936") return 936;
  if (c == "gb18030") return 54936;
  if (c == "big5" || c == "cp950") return 950;
  if (c == "ks_c_5601-1987" || c == "euc-kr" || c == "cp949") return 949;
  if (c == "euc-jp") return 51932;
  if (c == "iso-2022-jp") return 50220;
  if (c == "koi8-r") return 20866;
  if (c == "koi8-u") return 21866;
  if (c.starts_with("windows-125") && c.size() == 12) return 1250 + (c[11] - '0');
  if (c.starts_with("iso-8859-")) {
    const int part = std::atoi(c.c_str() + 9);
    if (part >= 2 && part <= 9) return 28590 + part;
    if (part == 13) return 28603;
    if (part == 15) return 28605;
  }
  return 0;
}

int CodePageOfRtfCharset(int charset) {
  switch (charset) {
    case 0: return 1252;
    case 77: return 10000;
    case 128: return 932;
    case 129: return 949;
    case 130: return 1361;
    case 134: return 936;
    case 136: return 950;
    case 161: return 1253;
    case 162: return 1254;
    case 163: return 1258;
    case 177: return 1255;
    case 178: return 1256;
    case 186: return 1257;
    case 204: return 1251;
    case 222: return 874;
    case 238: return 1250;
    case 254: return 437;
    default: return 0;
  }
}

// One open iconv handle converting to UTF-8.
class TextDecoder::Converter {
 public:
  explicit Converter(iconv_t cd) : cd_(cd) {}
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  static std::unique_ptr<Converter> Open(int cp) {
    for (const std::string& name : IconvNames(cp)) {
      iconv_t cd = iconv_open("UTF-8", name.c_str());
      if (cd != reinterpret_cast<iconv_t>(-1)) return std::make_unique<Converter>(cd);
    }
    return nullptr;
  }

  void Append(ByteSpan bytes, std::string& out) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // a fresh shift state
    auto* in = reinterpret_cast<char*>(const_cast<std::byte*>(bytes.data()));
    size_t inLeft = bytes.size();
    char buf[4096];
    while (inLeft > 0) {
      char* o = buf;
      size_t outLeft = sizeof buf;
      const size_t r = iconv(cd_, &in, &inLeft, &o, &outLeft);
      AppendValidUtf8(std::string_view(buf, sizeof buf - outLeft), out);
      if (r != static_cast<size_t>(-1)) continue;
      if (errno == E2BIG) continue;
      // An invalid or incomplete sequence: one replacement, then go on.
      AppendCodePoint(0xFFFD, out);
      if (errno != EILSEQ) break;
      ++in;
      --inLeft;
    }
    char* o = buf;
    size_t outLeft = sizeof buf;
    iconv(cd_, nullptr, nullptr, &o, &outLeft);
    out.append(buf, sizeof buf - outLeft);
  }

 private:
  iconv_t cd_;
};

TextDecoder::TextDecoder() = default;
TextDecoder::~TextDecoder() = default;

TextDecoder::Converter* TextDecoder::ConverterFor(int codePage) {
  auto it = converters_.find(codePage);
  if (it != converters_.end()) return it->second.get();
  return converters_.emplace(codePage, Converter::Open(codePage)).first->second.get();
}

std::string TextDecoder::ToUtf8(ByteSpan bytes, int codePage) {
  std::string out;
  AppendUtf8(bytes, codePage, out);
  return out;
}

void TextDecoder::AppendUtf8(ByteSpan bytes, int codePage, std::string& out) {
  if (codePage == kCodePageUtf16le) {
    out += items::WideToUtf8(bytes);
    return;
  }
  if (codePage == 1201 || codePage == 65000) {
    if (Converter* c = ConverterFor(codePage)) c->Append(bytes, out);
    return;
  }
  bytes = UpToNul(bytes);
  switch (codePage) {
    case kCodePageUtf8:
      AppendValidUtf8(AsChars(bytes), out);
      return;
    case 20127:
      AppendAscii(bytes, out);
      return;
    case 28591:
      AppendCp1252(bytes, true, out);
      return;
    case 0:
    case kCodePageWindows1252:
      AppendCp1252(bytes, false, out);
      return;
    default:
      break;
  }
  if (Converter* c = ConverterFor(codePage)) {
    c->Append(bytes, out);
  } else {
    AppendCp1252(bytes, false, out);
  }
}

}  // namespace velmorix::content
