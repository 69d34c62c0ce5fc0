// PidTagRtfCompressed values: RTF written in the compressed ("LZFu") or the
// uncompressed ("MELA") form of the stream format.
#pragma once

#include <string_view>

#include "store/bytes.h"

namespace velmorix::storebuilder {

// The stream holding `rtf`: LZFu-compressed with its CRC when `compressed`,
// else stored as it is.
Buffer CompressRtf(std::string_view rtf, bool compressed = true);

}  // namespace velmorix::storebuilder
