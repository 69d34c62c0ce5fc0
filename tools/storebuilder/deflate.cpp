#include "storebuilder/deflate.h"

#include <libdeflate.h>

#include <new>

namespace velmorix::storebuilder {

void Deflater::Free::operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }

Deflater::Deflater(int level) : c_(libdeflate_alloc_compressor(level)) {
  if (!c_) throw std::bad_alloc();
}

Deflater::~Deflater() = default;

std::optional<Buffer> Deflater::CompressIfSmaller(ByteSpan data) {
  if (data.size() < 2) return std::nullopt;
  Buffer out(data.size() - 1);
  // libdeflate gives 0 when the stream would not fit the buffer.
  const size_t n = libdeflate_zlib_compress(c_.get(), data.data(), data.size(), out.data(), out.size());
  if (n == 0) return std::nullopt;
  out.resize(n);
  return out;
}

}  // namespace velmorix::storebuilder
