// PidTagRtfCompressed: a 16-byte header (COMPSIZE, RAWSIZE, COMPTYPE, CRC)
// and either the raw RTF ("MELA") or an LZ77 stream ("LZFu") over a
// 4096-byte dictionary that starts with a fixed RTF prefix. Each control byte
// announces eight tokens, least significant bit first: a 0 bit a literal
// byte, a 1 bit a big-endian word holding a 12-bit dictionary offset and a
// 4-bit length less two. A reference to the current write position ends the
// stream.
#include <algorithm>
#include <array>
#include <cstring>

#include "content/rtf.h"

namespace velmorix::content {
namespace {

constexpr uint32_t kCompressed = 0x75465A4C;    // "LZFu"
constexpr uint32_t kUncompressed = 0x414C454D;  // "MELA"
constexpr size_t kHeaderSize = 16;
constexpr size_t kDictionarySize = 4096;
constexpr std::string_view kDictionaryStart =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern "
    "\\fscript \\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0"
    "\\blue0\r\n\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
static_assert(kDictionaryStart.size() == 207);
// A control byte and eight two-byte references expand to at most 8 x 17
// bytes: no stream grows by more than this factor.
constexpr uint64_t kMaxExpansion = 8;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

// CRC-32 with the reflected polynomial, starting at 0 and without a final
// inversion, as the stream format defines it.
uint32_t Crc(ByteSpan data) {
  uint32_t crc = 0;
  for (std::byte b : data) crc = kCrcTable[(crc ^ static_cast<uint8_t>(b)) & 0xFF] ^ (crc >> 8);
  return crc;
}

void Flag(DecompressedRtf& out, std::string_view problem) {
  if (!out.damaged) out.problem = std::string(problem);
  out.damaged = true;
}

}  // namespace

std::optional<DecompressedRtf> DecompressRtf(ByteSpan stored) {
  ByteView v(stored);
  if (stored.size() < kHeaderSize) return std::nullopt;
  const uint32_t compSize = *v.U32(0);
  const uint32_t rawSize = *v.U32(4);
  const uint32_t type = *v.U32(8);
  const uint32_t crc = *v.U32(12);
  if (type != kCompressed && type != kUncompressed) return std::nullopt;

  DecompressedRtf out;
  // COMPSIZE counts the bytes after itself: the rest of the header and the
  // contents. Bytes beyond it are padding.
  const uint64_t declared = compSize >= 12 ? compSize - 12u : 0;
  const size_t available = stored.size() - kHeaderSize;
  if (compSize < 12 || declared > available) Flag(out, "the compressed RTF is shorter than its header says");
  const size_t length = static_cast<size_t>(std::min<uint64_t>(declared, available));
  const ByteSpan contents = stored.subspan(kHeaderSize, length);

  if (type == kUncompressed) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(rawSize, length));
    out.rtf.assign(AsChars(contents.first(n)));
    if (rawSize > length) Flag(out, "the RTF is shorter than its header says");
    return out;
  }

  if (Crc(contents) != crc) Flag(out, "the compressed RTF fails its CRC check");
  const uint64_t limit = std::min<uint64_t>(rawSize, length * kMaxExpansion);
  out.rtf.reserve(static_cast<size_t>(limit));

  std::array<char, kDictionarySize> dict{};
  std::memcpy(dict.data(), kDictionaryStart.data(), kDictionaryStart.size());
  size_t writePos = kDictionaryStart.size();
  bool dictFull = false;  // every slot has been written
  auto emit = [&](char c) {
    out.rtf += c;
    dict[writePos] = c;
    writePos = (writePos + 1) % kDictionarySize;
    if (writePos == 0) dictFull = true;
  };

  const auto* in = reinterpret_cast<const unsigned char*>(contents.data());
  size_t i = 0;
  bool ended = false;
  bool stopped = false;
  while (i < length && !ended && !stopped) {
    const unsigned char control = in[i++];
    for (int bit = 0; bit < 8 && !ended && !stopped; ++bit) {
      if (i >= length) break;
      if (out.rtf.size() >= limit) {
        stopped = true;
        break;
      }
      if ((control & (1u << bit)) == 0) {
        emit(static_cast<char>(in[i++]));
        continue;
      }
      if (i + 2 > length) {
        i = length;
        break;
      }
      const unsigned word = (static_cast<unsigned>(in[i]) << 8) | in[i + 1];
      i += 2;
      const size_t offset = word >> 4;
      const size_t count = (word & 0xF) + 2;
      if (offset == writePos) {
        ended = true;
        break;
      }
      if (!dictFull && offset > writePos) {
        Flag(out, "the compressed RTF refers to data before its start");
        stopped = true;
        break;
      }
      for (size_t k = 0; k < count && out.rtf.size() < limit; ++k) {
        emit(dict[(offset + k) % kDictionarySize]);
      }
    }
  }
  if (out.rtf.size() < rawSize) Flag(out, "the RTF ends before the size its header gives");
  return out;
}

}  // namespace velmorix::content
