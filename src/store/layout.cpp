// Variant layouts, checksums and the trailer and page-field readers.
#include "store/layout.h"

#include "format/checksum.h"

namespace velmorix::store {
namespace {

uint64_t ReadId(const VariantLayout& L, const ByteView& v, uint64_t at) {
  return L.idSize == 8 ? v.U64(at).value_or(0) : v.U32(at).value_or(0);
}

}  // namespace

Variant VariantOfVersion(uint32_t version) {
  if (version == 14 || version == 15) return Variant::Ansi;
  if (version == 23) return Variant::Unicode;
  if (version >= 36) return Variant::Unicode4K;
  return Variant::Unknown;
}

uint32_t ComputeCrc(uint32_t crc, ByteSpan data) { return format::Crc(crc, data); }

uint16_t ComputeSig(uint64_t ib, uint64_t bid) { return format::Signature(ib, bid); }

std::optional<PageTrailer> ReadPageTrailer(const VariantLayout& L, ByteSpan page) {
  if (page.size() < L.pageSize) return std::nullopt;
  const ByteView v(page);
  const uint32_t t = L.pageTrailerAt();
  PageTrailer out;
  out.ptype = *v.U8(t);
  out.ptypeRepeat = *v.U8(t + 1);
  out.sig = *v.U16(t + 2);
  out.crc = *v.U32(t + L.pageTrailer.crcAt);
  out.bid = ReadId(L, v, t + L.pageTrailer.bidAt);
  return out;
}

bool PageCrcHolds(const VariantLayout& L, ByteSpan page) {
  auto t = ReadPageTrailer(L, page);
  return t && t->crc == ComputeCrc(0, page.first(L.pageTrailerAt()));
}

std::optional<BTreePageInfo> ReadBTreePageInfo(const VariantLayout& L, ByteSpan page) {
  if (page.size() < L.pageSize) return std::nullopt;
  const ByteView v(page);
  BTreePageInfo out;
  if (L.countWidth == 2) {
    out.count = *v.U16(L.countAt);
    out.maxCount = *v.U16(L.maxCountAt);
  } else {
    out.count = *v.U8(L.countAt);
    out.maxCount = *v.U8(L.maxCountAt);
  }
  out.entrySize = *v.U8(L.entrySizeAt);
  out.level = *v.U8(L.levelAt);
  return out;
}

std::optional<IntermediateEntry> ReadIntermediateEntry(const VariantLayout& L, ByteSpan page, uint32_t index) {
  const uint64_t at = uint64_t{index} * L.intermediateEntrySize;
  if (index >= L.MaxEntries(L.intermediateEntrySize) || !ByteView(page).Contains(at, L.intermediateEntrySize)) {
    return std::nullopt;
  }
  const ByteView v(page);
  return IntermediateEntry{ReadId(L, v, at), ReadId(L, v, at + L.idSize), ReadId(L, v, at + 2 * L.idSize)};
}

std::optional<BlockTrailer> ReadBlockTrailer(const VariantLayout& L, ByteSpan trailer) {
  if (trailer.size() < L.blockTrailer.size) return std::nullopt;
  const ByteView v(trailer);
  BlockTrailer out;
  out.cb = *v.U16(0);
  out.sig = *v.U16(2);
  out.crc = *v.U32(L.blockTrailer.crcAt);
  out.bid = ReadId(L, v, L.blockTrailer.bidAt);
  out.inflated = L.blockTrailer.inflatedAt ? *v.U16(L.blockTrailer.inflatedAt) : out.cb;
  return out;
}

}  // namespace velmorix::store
