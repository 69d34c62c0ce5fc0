// Writes a fuzzer input to a private temporary file, so that the code under
// test reads it through the same file layer as a real store.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace velmorix::fuzz {

inline const std::string& InputPath() {
  // Removed when the fuzzer exits normally.
  static const struct Input {
    std::string path = "/tmp/velmorix-fuzz-" + std::to_string(::getpid()) + ".bin";
    ~Input() { std::remove(path.c_str()); }
  } input;
  return input.path;
}

inline bool WriteInput(const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(InputPath().c_str(), "wb");
  if (!f) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

}  // namespace velmorix::fuzz
