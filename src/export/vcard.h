// A contact as a vCard 4.0 (RFC 6350): names, organisation, e-mail
// addresses, telephone numbers, postal addresses, birthday and anniversary,
// web pages, categories and notes, with the format's escaping and its lines
// folded at 75 octets. Written by hand: Debian has no maintained vCard 4.0
// writer library.
#pragma once

#include <string>
#include <string_view>

#include "content/item.h"

namespace velmorix::exporting {

std::string VCard(const content::Item& item);

// `text` escaped as a vCard text value: backslash, comma, semicolon and
// line breaks.
std::string VCardText(std::string_view text);

// One content line folded at 75 octets (never inside a UTF-8 character),
// continuation lines starting with a blank, CRLF at each end.
std::string FoldLine(std::string_view line);

}  // namespace velmorix::exporting
