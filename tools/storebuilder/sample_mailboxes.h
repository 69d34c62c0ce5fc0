// The mailboxes velmorix-mkstore writes: the demo mailbox and benchmark
// mailboxes of any size, for the tools and for tests.
#pragma once

#include <cstdint>

#include "storebuilder/mailbox.h"

namespace velmorix::storebuilder {

// Folders below the top folder (Inbox with two subfolders, Sent Items,
// Contacts, Calendar, Tasks, Notes, Journal) with mails (bodies in the heap
// and in subnodes, HTML, attachments, an embedded message, a report, a
// custom class, non-ASCII texts), contacts, appointments, tasks, notes and
// journal entries; one mail sits in the top folder, one in Deleted Items
// when the builder makes that folder.
void AddDemoMailbox(MailboxBuilder& b);

struct BenchmarkShape {
  uint32_t folders = 10;
  uint32_t mailsPerFolder = 100;
  uint32_t bodySize = 1024;
  uint32_t headerSize = 0;
  uint32_t subjectLength = 40;
  uint32_t attachmentEvery = 0;      // every K-th mail gets a 2 KiB attachment (0: none)
  uint32_t bodyInSubnodeEvery = 0;   // every J-th mail keeps its body in a subnode (0: none)
};

// `folders` mail folders below the top folder, each with `mailsPerFolder`
// mails of the given shape.
void AddBenchmarkMailbox(MailboxBuilder& b, const BenchmarkShape& shape);

}  // namespace velmorix::storebuilder
