// JSON text for the machine-readable records.
#pragma once

#include <string>
#include <string_view>

namespace velmorix::cli {

// Appends `text` to `out` as a JSON string: quoted, with '"', '\' and control
// characters escaped. Valid UTF-8 is kept as it is; each byte that is not part
// of a valid sequence becomes U+FFFD, so the result is always valid JSON.
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace velmorix::cli
