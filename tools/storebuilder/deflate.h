// zlib-format compression of data blocks, for the variant whose blocks may be
// stored compressed.
#pragma once

#include <memory>
#include <optional>

#include "store/bytes.h"

struct libdeflate_compressor;

namespace velmorix::storebuilder {

class Deflater {
 public:
  explicit Deflater(int level = 6);
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // The zlib stream of `data` when it is shorter than `data`; nullopt otherwise.
  std::optional<Buffer> CompressIfSmaller(ByteSpan data);

 private:
  struct Free {
    void operator()(libdeflate_compressor* c) const;
  };
  std::unique_ptr<libdeflate_compressor, Free> c_;
};

}  // namespace velmorix::storebuilder
