// Checks of copied header values against the strict syntax mail readers
// parse, and header forms GMime would not keep by itself.
#pragma once

#include <string>
#include <string_view>

#include <gmime/gmime.h>

namespace velmorix::exporting {

// Whether `value` (a header's text, possibly folded) is one message id,
// "<left@right>" with both sides in dot-atom form (the right one may be a
// bracketed literal), blanks around it allowed.
bool IsMessageId(std::string_view value);

// Whether the raw value of header `name` parses strictly: message ids as
// above, dates as dates, address lists as addresses, text without control
// characters. Headers of other names always do.
bool ParsesStrictly(std::string_view name, std::string_view raw);

// Each header of `message` named From, To, Cc, Subject, Date or Message-ID
// whose value does not parse strictly is kept as "X-Original-<name>" with its
// raw text and removed, to be made again from the item's properties.
void SetAsideUnparsable(GMimeMessage* message);

// Sets the subject so that it comes back exactly, trailing blanks included
// (GMime drops them when it folds): as encoded words when it ends in one.
void SetSubjectExactly(GMimeMessage* message, const std::string& subject);

}  // namespace velmorix::exporting
