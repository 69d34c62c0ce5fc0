#include "store/inflate.h"

#include <libdeflate.h>

#include <new>

namespace velmorix::store {

void Inflater::Free::operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }

Inflater::Inflater() = default;
Inflater::~Inflater() = default;
Inflater::Inflater(Inflater&&) noexcept = default;
Inflater& Inflater::operator=(Inflater&&) noexcept = default;

std::optional<Buffer> Inflater::Inflate(ByteSpan stored, uint32_t size) {
  if (size > kMaxInflatedBlock) return std::nullopt;
  if (!d_) {
    d_.reset(libdeflate_alloc_decompressor());
    if (!d_) throw std::bad_alloc();
  }
  Buffer out(size);
  // With no place for the actual size, anything but exactly `size` bytes
  // fails; the zlib checksum is checked as well.
  const auto r = libdeflate_zlib_decompress(d_.get(), stored.data(), stored.size(), out.data(), out.size(), nullptr);
  if (r != LIBDEFLATE_SUCCESS) return std::nullopt;
  return out;
}

}  // namespace velmorix::store
