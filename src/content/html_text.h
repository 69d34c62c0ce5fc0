// Plain text derived from an HTML body.
#pragma once

#include <string>
#include <string_view>

namespace velmorix::content {

// The readable text of UTF-8 HTML: markup, scripts, styles and the head left
// out, character references resolved, blocks and line breaks as CRLF, table
// cells separated by tabs, list items led by "- ", and a link's address
// after its text when the two differ.
std::string HtmlToText(std::string_view html);

// The charset an HTML document declares in a meta element; empty when none.
std::string HtmlDeclaredCharset(std::string_view html);

}  // namespace velmorix::content
