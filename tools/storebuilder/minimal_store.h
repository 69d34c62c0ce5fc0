// Node sets for plain node-database stores: the nodes every store carries,
// and bulk message entries for index benchmarks.
#pragma once

#include <cstdint>

#include "storebuilder/ndb.h"

namespace velmorix::storebuilder {

// Adds the store, name-to-ID map, root folder, IPM subtree, Deleted Items,
// Search Root, their tables, the search queues and the table templates. Each
// node gets an empty heap as its data (0x1E1 and 0x201 stay empty).
void AddMinimalNodes(NdbWriter& writer);

// NID of the i-th bulk message (0-based): message type, indexes after the
// counters of a new store.
uint32_t BulkMessageNid(uint64_t i);

// Adds `count` message entries below the IPM subtree (0x8022), each with its
// own small data block, or with none when `withData` is false.
void AddBulkMessages(NdbWriter& writer, uint64_t count, bool withData);

}  // namespace velmorix::storebuilder
