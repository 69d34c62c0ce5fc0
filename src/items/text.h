// Text conversion for values read from a store.
#pragma once

#include <string>

#include "store/bytes.h"

namespace velmorix::items {

// Converts UTF-16LE to UTF-8. Stops at the first NUL code unit; an odd last
// byte is ignored; an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8(ByteSpan utf16le);

// The same conversion into a Blob (always present, possibly empty).
Blob WideToUtf8Blob(ByteSpan utf16le);

}  // namespace velmorix::items
