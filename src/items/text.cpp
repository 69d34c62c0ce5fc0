#include "items/text.h"

namespace velmorix::items {
namespace {

// Writes the UTF-8 form of `utf16le` to `out`, which has room for three bytes
// per code unit; returns the bytes written.
size_t Convert(ByteSpan utf16le, char* out) {
  const size_t units = utf16le.size() / 2;
  const auto* p = reinterpret_cast<const unsigned char*>(utf16le.data());
  char* o = out;
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = p[2 * i] | (static_cast<uint32_t>(p[2 * i + 1]) << 8);
    if (u - 1 < 0x7F) {  // ASCII, NUL excluded
      *o++ = static_cast<char>(u);
      continue;
    }
    if (u == 0) break;
    if (u >= 0xD800 && u <= 0xDFFF) {
      uint32_t low = i + 1 < units ? (p[2 * i + 2] | (static_cast<uint32_t>(p[2 * i + 3]) << 8)) : 0;
      if (u <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF) {
        const uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        *o++ = static_cast<char>(0xF0 | (cp >> 18));
        *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (cp & 0x3F));
        ++i;
        continue;
      }
      u = 0xFFFD;  // an unpaired surrogate
    }
    if (u < 0x800) {
      *o++ = static_cast<char>(0xC0 | (u >> 6));
      *o++ = static_cast<char>(0x80 | (u & 0x3F));
    } else {
      *o++ = static_cast<char>(0xE0 | (u >> 12));
      *o++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return static_cast<size_t>(o - out);
}

}  // namespace

std::string WideToUtf8(ByteSpan utf16le) {
  std::string out(utf16le.size() / 2 * 3, '\0');
  out.resize(Convert(utf16le, out.data()));
  return out;
}

Blob WideToUtf8Blob(ByteSpan utf16le) {
  // Short texts convert on the stack; only the result is allocated.
  char local[1536];
  const size_t room = utf16le.size() / 2 * 3;
  if (room <= sizeof local) return Blob::Of(std::string_view(local, Convert(utf16le, local)));
  return Blob::Of(WideToUtf8(utf16le));
}

}  // namespace velmorix::items
