// Index-load benchmark.
//   index_load_bench write N FILE   writes a Unicode store with N node entries
//                                   (each with a data block of its own)
//   index_load_bench load FILE      loads its indexes and prints the time,
//                                   the entry counts and the peak memory
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/store.h"
#include "storebuilder/ndb.h"

namespace {

int Write(long n, const char* path) {
  using namespace velmorix::storebuilder;
  NdbOptions o;
  o.format = Format::Unicode23;
  o.minNodeLevels = 3;
  o.minBlockLevels = 3;
  NdbWriter w(o);
  const std::byte payload[16] = {};
  const uint32_t shared = w.AddDataBlock(payload);
  w.AddNode(0x21, shared, 0, 0);
  w.AddNode(0x61, shared, 0, 0);
  w.AddNode(0x122, shared, 0, 0x122);
  w.AddNode(0x8022, shared, 0, 0x122);
  for (long i = 4; i < n; ++i) {
    const uint32_t bid = w.AddDataBlock(payload);
    // Folders of 100 messages below the top folder.
    const auto idx = static_cast<uint32_t>(i);
    if (i % 101 == 4) {
      w.AddNode(((0x1000u + idx) << 5) | 0x02, bid, 0, 0x8022);
    } else {
      const uint32_t folder = ((0x1000u + 4 + static_cast<uint32_t>((i - 4) / 101 * 101)) << 5) | 0x02;
      w.AddNode(((0x100000u + idx) << 5) | 0x04, bid, 0, folder);
    }
  }
  w.Write(path);
  const auto& l = w.layout();
  std::printf("wrote %s: %ld node entries, node tree %zu levels, block tree %zu levels, %llu bytes\n", path,
              n, l.nodePages.size(), l.blockPages.size(), static_cast<unsigned long long>(l.fileSize));
  return 0;
}

int Load(const char* path) {
  using namespace velmorix::store;
  auto t0 = std::chrono::steady_clock::now();
  Store s;
  if (OpenStore(s, path) != 0) return 1;
  int r = LoadIndexes(s);
  auto t1 = std::chrono::steady_clock::now();
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("%s\tresult %d\tnodes %zu\tblocks %zu\tleaf levels %d/%d\t%.3f s\tpeak %.1f MiB\n", path, r,
              s.data->nodes.createdCount(), s.data->blocks.size(), s.nodeLeafLevel, s.blockLeafLevel,
              std::chrono::duration<double>(t1 - t0).count(), ru.ru_maxrss / 1024.0);
  return r == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "write") == 0) return Write(std::atol(argv[2]), argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "load") == 0) return Load(argv[2]);
  std::fprintf(stderr, "usage: index_load_bench write N FILE | load FILE\n");
  return 64;
}
