// Case folding of UTF-8 text for matching without regard to case: "MÜLLER"
// and "müller" fold to the same bytes. Covers the scripts with case (Latin,
// Greek, Cyrillic, Armenian, Georgian, the full-width forms); texts of other
// scripts are left as they are. Malformed bytes fold to U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace velmorix::search {

// Appends the folded form of `text` to `out`.
void AppendFolded(std::string_view text, std::string& out);
std::string Folded(std::string_view text);

// The folded form of one code point (ß and ẞ fold to "ss" and are handled
// by AppendFolded; here they stay).
char32_t FoldCodePoint(char32_t c);

}  // namespace velmorix::search
