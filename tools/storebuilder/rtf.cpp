// An LZ77 writer over the stream format's 4096-byte dictionary: each token
// is the longest match (2 to 17 bytes) found in the dictionary, or a literal.
#include "storebuilder/rtf.h"

#include <array>
#include <cstring>

#include "storebuilder/ndb.h"

namespace velmorix::storebuilder {
namespace {

constexpr size_t kDictionarySize = 4096;
constexpr std::string_view kDictionaryStart =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern "
    "\\fscript \\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0"
    "\\blue0\r\n\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
constexpr size_t kMaxMatch = 17;

void PutU32(Buffer& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = std::byte((v >> (8 * i)) & 0xFF);
}

}  // namespace

Buffer CompressRtf(std::string_view rtf, bool compressed) {
  if (!compressed) {
    Buffer out(16 + rtf.size());
    if (!rtf.empty()) std::memcpy(out.data() + 16, rtf.data(), rtf.size());
    PutU32(out, 0, static_cast<uint32_t>(out.size() - 4));
    PutU32(out, 4, static_cast<uint32_t>(rtf.size()));
    PutU32(out, 8, 0x414C454D);
    PutU32(out, 12, 0);
    return out;
  }

  Buffer out(16);
  std::array<char, kDictionarySize> dict{};
  std::memcpy(dict.data(), kDictionaryStart.data(), kDictionaryStart.size());
  size_t writePos = kDictionaryStart.size();
  size_t written = kDictionaryStart.size();  // slots filled so far, up to the size

  size_t control = 0;  // position of the current run's control byte
  int tokens = 8;
  auto startToken = [&] {
    if (tokens == 8) {
      control = out.size();
      out.push_back(std::byte{0});
      tokens = 0;
    }
  };
  auto put = [&](char c) {
    dict[writePos] = c;
    writePos = (writePos + 1) % kDictionarySize;
    if (written < kDictionarySize) ++written;
  };

  size_t i = 0;
  while (i < rtf.size()) {
    // The longest match: the copy may run into the bytes it writes itself.
    size_t bestLen = 0, bestOff = 0;
    for (size_t off = 0; off < written; ++off) {
      if (off == writePos) continue;  // that reference ends the stream
      size_t len = 0;
      while (len < kMaxMatch && i + len < rtf.size()) {
        const size_t p = (off + len) % kDictionarySize;
        const size_t ahead = (p + kDictionarySize - writePos) % kDictionarySize;
        const char c = ahead < len ? rtf[i + ahead] : dict[p];
        if (c != rtf[i + len]) break;
        ++len;
      }
      if (len > bestLen) {
        bestLen = len;
        bestOff = off;
        if (len == kMaxMatch) break;
      }
    }
    startToken();
    if (bestLen >= 2) {
      out[control] |= std::byte(1u << tokens);
      const unsigned word = static_cast<unsigned>(bestOff << 4) | static_cast<unsigned>(bestLen - 2);
      out.push_back(std::byte((word >> 8) & 0xFF));
      out.push_back(std::byte(word & 0xFF));
      for (size_t k = 0; k < bestLen; ++k) put(rtf[i + k]);
      i += bestLen;
    } else {
      out.push_back(std::byte(static_cast<uint8_t>(rtf[i])));
      put(rtf[i]);
      ++i;
    }
    ++tokens;
  }
  // The end: a reference to the write position.
  startToken();
  out[control] |= std::byte(1u << tokens);
  const unsigned end = static_cast<unsigned>(writePos << 4);
  out.push_back(std::byte((end >> 8) & 0xFF));
  out.push_back(std::byte(end & 0xFF));

  PutU32(out, 0, static_cast<uint32_t>(out.size() - 4));
  PutU32(out, 4, static_cast<uint32_t>(rtf.size()));
  PutU32(out, 8, 0x75465A4C);
  PutU32(out, 12, ComputeCrc(0, ByteSpan(out).subspan(16)));
  return out;
}

}  // namespace velmorix::storebuilder
