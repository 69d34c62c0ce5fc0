// The deep scan: the whole file read once, in order, and the indexes rebuilt
// from what the pages and blocks say of themselves. Every block whose trailer
// holds (signature from its BID and offset, CRC over its bytes, size within
// bounds) goes into a new block list; every node B-tree leaf page whose
// trailer and CRC hold gives node entries, also pages the live tree no longer
// reaches; property contexts that no node, subnode or data tree names any
// more become nodes of their own. Used when the header or the indexes are
// damaged, so that what the indexes no longer reach is found again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "format/vocabulary.h"
#include "store/store.h"

namespace velmorix::store {

struct DeepScanReport {
  Variant variant = Variant::Unknown;
  int encryptionMethod = 0;
  bool headerIntact = false;  // the variant and method came from the header
  bool completed = false;     // false when the stop request ended the scan
  uint64_t blocks = 0;        // blocks whose trailer and CRC hold
  uint64_t nodePages = 0;     // node index leaf pages whose trailer and CRC hold
  uint64_t nodeEntries = 0;   // entries of the rebuilt node tree, orphans included
  uint64_t orphans = 0;       // property contexts no node names
  uint64_t unchecked = 0;     // candidates left unchecked once the work budget ran out
};

struct DeepScanResult {
  // The rebuilt indexes: every entry of `live` first (an entry without its
  // blocks replaced by a found one that has them), then what the scan found.
  std::shared_ptr<StoreData> data;
  DeepScanReport report;
  // NIDs given to the orphaned property contexts, in file order.
  std::vector<uint32_t> orphanNids;
  // Table contexts (data BIDs) that no node, subnode or data tree names.
  std::vector<uint32_t> orphanTables;
  // Subnode leaf blocks (BIDs) that no node or subnode tree names, in file order.
  std::vector<uint32_t> orphanSubnodeLists;
  // (data BID, NID) of every node entry the leaf pages hold, stale ones
  // included, sorted: what a block was once stored as.
  std::vector<std::pair<uint32_t, uint32_t>> namedBy;
};

// Bytes read so far and the file size; called once per chunk read.
using DeepScanProgress = std::function<void(uint64_t done, uint64_t total)>;

// True when the header's partial CRC (and, in the Unicode variants, its full
// CRC) holds and its version names a variant.
bool HeaderIntact(Store& store);

// True when the header is intact or the file's first bytes hold pages or
// blocks of some variant: a deep scan may find something in it.
bool LooksLikeStore(Store& store);

// Scans `store`'s file. Sets the store's variant and encryption method to
// what the scan used (from the header when it is intact, else from what the
// pages and blocks show). Honours the store's stop request. `live` is the
// normal recovery's index data, or null. Time and memory stay proportional
// to the file size whatever the bytes hold.
DeepScanResult DeepScan(Store& store, const StoreData* live, const DeepScanProgress& progress = {});

}  // namespace velmorix::store
