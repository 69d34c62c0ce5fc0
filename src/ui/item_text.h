// The texts an item window shows: the header fields of each kind of item,
// addresses, times, sizes and property tags.
#pragma once

#include <QString>

#include <vector>

#include "content/item.h"

namespace velmorix::ui {

struct Field {
  QString label;
  QString value;
};

// The fields shown above an item's body, in order, empty ones left out: a
// mail's From, To, Cc, Bcc, Subject, Date and attachments; a contact's
// names, company, e-mail addresses, phone numbers and postal addresses; an
// appointment's start, end, location and attendees; a task's dates and
// status; a note's colour; a journal entry's type and times.
std::vector<Field> HeaderFields(const content::Item& item);

// The window title: the subject, a contact's name, or the item's kind.
QString ItemTitle(const content::Item& item);

// Local date and time, with the zone; empty for a time out of range.
QString TimeText(content::FileTime time);
// "512 bytes", "12.3 KB", "4.0 MB".
QString SizeText(uint64_t bytes);
// "Name <address>", the SMTP address preferred over an Exchange one.
QString AddressText(const content::Address& address);
// The property's tag as "0x0037001F".
QString PropertyTag(const content::Property& property);
// The name an attachment is listed and saved under ("" when it has none).
QString AttachmentName(const content::Attachment& attachment);

}  // namespace velmorix::ui
