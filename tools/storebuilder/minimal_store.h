// Node sets for plain node-database stores: the nodes every store carries,
// and bulk message entries for index benchmarks.
#pragma once

#include <cstdint>

#include "storebuilder/ndb.h"

namespace velmorix::storebuilder {

// Adds the store, name-to-ID map, root folder, IPM subtree, Deleted Items,
// Search Root, their tables, the search queues and the table templates: the
// message store, the map and the folders as property contexts with their
// names, the tables as table contexts (0x1E1 and 0x201 stay empty), enough
// for other readers of the format to open the store. Then `messages` bulk
// message entries below the IPM subtree (0x8022), each with a data block of
// its own (a read mail with a class and a subject) and a row in the folder's
// contents table, or with neither when `withData` is false.
void AddMinimalNodes(NdbWriter& writer, uint64_t messages = 0, bool withData = true);

// NID of the i-th bulk message (0-based): message type, indexes after the
// counters of a new store.
uint32_t BulkMessageNid(uint64_t i);

}  // namespace velmorix::storebuilder
