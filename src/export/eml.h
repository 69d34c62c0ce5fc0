// An item as one RFC 5322 message, built with GMime: the item's own transport
// headers when it keeps them (their MIME headers replaced by the parts
// written), else headers made from its properties; the bodies as
// multipart/alternative, inline pictures in multipart/related, attachments
// with their MIME types and RFC 2231 file names, embedded messages as
// message/rfc822 parts. Everything 7-bit: non-ASCII header text as RFC 2047
// words, bodies and attachments in quoted-printable or base64.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "content/item.h"
#include "content/item_reader.h"
#include "export/gmime_types.h"

namespace velmorix::exporting {

struct MessageOptions {
  bool crlf = true;  // line ends: CRLF (.eml files) or LF (mbox)
  // Attachment bytes kept in memory per message; the rest goes through
  // temporary files, so a message with huge attachments stays small in memory.
  size_t memoryBudget = 8u << 20;
};

// Writes `item` to `sink`. Attachment bytes and embedded messages are read
// through `reader`, which read `item`. Parts that cannot be read are left out
// and named in `problems`. False (with `error`) when nothing usable could be
// written or the sink refused.
bool WriteMessage(content::ItemReader& reader, const content::Item& item, const mime::Sink& sink,
                  const MessageOptions& options, std::vector<std::string>& problems, std::string* error = nullptr);

// Who a message is from: the represented sender (a delegate's principal)
// or the sender, whichever has an Internet address, else whichever has a
// name.
const content::Address& FromAddress(const content::Item& item);
// The Internet address of FromAddress(), or empty.
std::string SenderAddress(const content::Item& item);

// The time a message carries as its date: sent, else received, else created.
std::optional<content::FileTime> MessageTime(const content::Item& item);

}  // namespace velmorix::exporting
