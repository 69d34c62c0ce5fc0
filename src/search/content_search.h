// The part of a search that reads items from the file: the body text and
// the attachments' names. One item at a time, so memory stays flat however
// many are searched.
#pragma once

#include <cstdint>

#include "search/query.h"

namespace velmorix::content {
class ItemReader;
struct Item;
}  // namespace velmorix::content

namespace velmorix::search {

// Whether `item`'s body (plain text, else HTML as text) or its attachments'
// names hold the query's text, as its content fields ask.
bool ContentMatches(const Matcher& matcher, const content::Item& item);

// Reads node `nodeId` with `reader` and matches its content; false when it
// cannot be read. Only the bodies and the attachments' names are read.
bool ContentMatches(const Matcher& matcher, content::ItemReader& reader, uint32_t nodeId);

}  // namespace velmorix::search
