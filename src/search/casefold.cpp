#include "search/casefold.h"

#include <cstdint>
#include <cstring>

namespace velmorix::search {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Pairs where the capital is the even (or odd, `oddUpper`) code point and
// the small one follows it.
char32_t Paired(char32_t c, bool oddUpper) {
  const bool upper = ((c & 1) != 0) == oddUpper;
  return upper ? c + 1 : c;
}

// Decodes one code point at `text[i]`, advancing `i`; malformed input gives
// U+FFFD for one byte.
char32_t Decode(std::string_view text, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int length = 0;
  char32_t c = 0;
  char32_t least = 0;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2, c = b0 & 0x1F, least = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3, c = b0 & 0x0F, least = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4, c = b0 & 0x07, least = 0x10000;
  } else {
    ++i;
    return kReplacement;
  }
  if (i + static_cast<size_t>(length) > text.size()) {
    ++i;
    return kReplacement;
  }
  for (int k = 1; k < length; ++k) {
    const unsigned char b = byte(i + static_cast<size_t>(k));
    if ((b & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    c = (c << 6) | (b & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return kReplacement;
  }
  i += static_cast<size_t>(length);
  return c;
}

void Encode(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

char32_t FoldCodePoint(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 0x20 : c;
  // Latin-1 and Latin Extended-A.
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
  if (c == 0xB5) return 0x3BC;  // micro sign: Greek mu
  if (c >= 0x100 && c <= 0x12F) return Paired(c, false);
  if (c == 0x130) return 'i';
  if (c >= 0x132 && c <= 0x137) return Paired(c, false);
  if (c >= 0x139 && c <= 0x148) return Paired(c, true);
  if (c >= 0x14A && c <= 0x177) return Paired(c, false);
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E) return Paired(c, true);
  if (c == 0x17F) return 's';
  // Latin Extended-B: the regular runs of pairs.
  if (c >= 0x1CD && c <= 0x1DC) return Paired(c, true);
  if (c >= 0x1DE && c <= 0x1EF) return Paired(c, false);
  if (c >= 0x1F8 && c <= 0x21F) return Paired(c, false);
  if (c >= 0x222 && c <= 0x233) return Paired(c, false);
  // Greek.
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return c + 0x25;
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return c + 0x3F;
  if (c == 0x3C2) return 0x3C3;  // final sigma
  if (c >= 0x3D8 && c <= 0x3EF) return Paired(c, false);
  // Cyrillic.
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x460 && c <= 0x481) return Paired(c, false);
  if (c >= 0x48A && c <= 0x4BF) return Paired(c, false);
  if (c == 0x4C0) return 0x4CF;
  if (c >= 0x4C1 && c <= 0x4CE) return Paired(c, true);
  if (c >= 0x4D0 && c <= 0x52F) return Paired(c, false);
  // Armenian and Georgian.
  if (c >= 0x531 && c <= 0x556) return c + 0x30;
  if (c >= 0x10A0 && c <= 0x10C5) return c + 0x1C60;
  // Latin Extended Additional and Greek Extended are left to their pairs.
  if (c >= 0x1E00 && c <= 0x1E95) return Paired(c, false);
  if (c >= 0x1EA0 && c <= 0x1EFF) return Paired(c, false);
  // Roman numerals, circled letters, full-width Latin.
  if (c >= 0x2160 && c <= 0x216F) return c + 0x10;
  if (c >= 0x24B6 && c <= 0x24CF) return c + 0x1A;
  if (c >= 0xFF21 && c <= 0xFF3A) return c + 0x20;
  return c;
}

void AppendFolded(std::string_view text, std::string& out) {
  out.reserve(out.size() + text.size());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    // Runs of ASCII, the common case, folded without decoding: eight bytes
    // at a time while no byte has its top bit set, then byte by byte.
    size_t end = i;
    while (n - end >= 8) {
      uint64_t w;
      std::memcpy(&w, text.data() + end, 8);
      if ((w & kHighBits) != 0) break;
      end += 8;
    }
    while (end < n && static_cast<unsigned char>(text[end]) < 0x80) ++end;
    if (end > i) {
      const size_t at = out.size();
      out.resize(at + (end - i));
      char* to = out.data() + at;
      size_t k = i;
      for (; end - k >= 8; k += 8, to += 8) {
        uint64_t w;
        std::memcpy(&w, text.data() + k, 8);
        // Bytes below 0x80: adding 0x80 - 'A' sets the top bit of those at
        // or above 'A', adding 0x80 - 'Z' - 1 of those above 'Z'; neither
        // carries into the next byte. A capital gains 0x20.
        const uint64_t capitals = ((w + kOnes * (0x80 - 'A')) & ~(w + kOnes * (0x80 - 'Z' - 1))) & kHighBits;
        w |= capitals >> 2;
        std::memcpy(to, &w, 8);
      }
      for (; k < end; ++k) {
        const unsigned char b = static_cast<unsigned char>(text[k]);
        *to++ = static_cast<char>(static_cast<unsigned char>(b - 'A') < 26u ? b + 0x20 : b);
      }
      i = end;
      if (i == n) break;
    }
    const char32_t c = Decode(text, i);
    if (c == 0xDF || c == 0x1E9E) {
      out += "ss";
      continue;
    }
    Encode(FoldCodePoint(c), out);
  }
}

std::string Folded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendFolded(text, out);
  return out;
}

}  // namespace velmorix::search
