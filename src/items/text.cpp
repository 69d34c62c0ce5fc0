#include "items/text.h"

#include <bit>
#include <cstring>
#include <memory>

namespace velmorix::items {
namespace {

// Writes the UTF-8 form of `utf16le` to `out`, which has room for three bytes
// per code unit; returns the bytes written.
size_t Convert(ByteSpan utf16le, char* out) {
  const size_t units = utf16le.size() / 2;
  const auto* p = reinterpret_cast<const unsigned char*>(utf16le.data());
  char* o = out;
  for (size_t i = 0; i < units; ++i) {
    if constexpr (std::endian::native == std::endian::little) {
      // Runs of ASCII (NUL excluded) eight code units per step.
      while (units - i >= 8) {
        uint64_t w[2];
        std::memcpy(w, p + 2 * i, 16);
        if (((w[0] | w[1]) & 0xFF80FF80FF80FF80ull) != 0 ||
            (((w[0] - 0x0001000100010001ull) & ~w[0]) | ((w[1] - 0x0001000100010001ull) & ~w[1])) &
                0x8000800080008000ull) {
          break;
        }
        // Each unit's low byte, packed: 0a0b0c0d -> abcd.
        const uint64_t lo = (w[0] | (w[0] >> 8)) & 0x0000FFFF0000FFFFull;
        const uint64_t hi = (w[1] | (w[1] >> 8)) & 0x0000FFFF0000FFFFull;
        const uint64_t packed = ((lo | (lo >> 16)) & 0xFFFFFFFFull) | ((hi | (hi >> 16)) << 32);
        std::memcpy(o, &packed, 8);
        o += 8;
        i += 8;
      }
      if (i >= units) break;
    }
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
  // Short texts convert on the stack, longer ones in an unfilled scratch
  // buffer; the result is copied into the Blob once.
  char local[4096];
  const size_t room = utf16le.size() / 2 * 3;
  if (room <= sizeof local) return Blob::Of(std::string_view(local, Convert(utf16le, local)));
  auto scratch = std::make_unique_for_overwrite<char[]>(room);
  return Blob::Of(std::string_view(scratch.get(), Convert(utf16le, scratch.get())));
}

}  // namespace velmorix::items
