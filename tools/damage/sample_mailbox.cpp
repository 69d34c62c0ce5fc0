// The harness's standard mailbox.
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "damage/damage.h"
#include "format/vocabulary.h"

namespace velmorix::damage {

namespace {

constexpr const char* kTopPath = "Personal Folders\\";

struct FolderRef {
  uint32_t nid;
  std::string path;
};

std::string Filler(std::mt19937& rng, size_t length) {
  static constexpr std::string_view kWords[] = {"alpha ", "ledger ", "quarterly ", "review ",
                                                "meeting ", "draft ", "invoice ", "schedule ",
                                                "notes ", "follow-up ", "budget ", "plan "};
  std::string out;
  out.reserve(length + 16);
  while (out.size() < length) out += kWords[rng() % std::size(kWords)];
  out.resize(length);
  return out;
}

Buffer Bytes(std::mt19937& rng, size_t n) {
  Buffer b(n);
  for (auto& x : b) x = static_cast<std::byte>(rng() & 0xFF);
  return b;
}

// One harness mail: bodies of every placement, recipients, attachments.
sb::Item HarnessMail(std::mt19937& rng, int i, const sb::MailFields& fields) {
  sb::MailFields f = fields;
  switch (i % 4) {
    case 0: f.body = Filler(rng, 40 + rng() % 400); break;
    case 1: f.body = Filler(rng, 200 + rng() % 2000); f.bodyInSubnode = true; break;
    case 2: f.body = Filler(rng, 9000 + rng() % 12000); break;
    default: f.html = "<p>" + Filler(rng, 300 + rng() % 3000) + "</p>"; break;
  }
  sb::Item item = sb::MakeMail(f);
  item.recipients.push_back({f.displayTo, "to" + std::to_string(i % 5) + "@example.com", 1});
  if (i % 7 == 3) item.recipients.push_back({"Copy", "cc@example.com", 2});
  if (i % 5 == 1) {
    sb::Attachment a;
    a.fileName = "note" + std::to_string(i) + ".txt";
    a.data = Bytes(rng, 100 + rng() % 900);
    item.attachments.push_back(std::move(a));
  }
  if (i % 11 == 4) {
    sb::Attachment a;
    a.fileName = "scan" + std::to_string(i) + ".bin";
    a.data = Bytes(rng, 9000 + rng() % 20000);
    a.dataPlacement = sb::Placement::Subnode;
    item.attachments.push_back(std::move(a));
  }
  return item;
}

// What tells stored versions of one mail apart from other mails: its search
// key and Internet message ID, and when it was last changed.
void Identity(sb::Item& item, int i, int version) {
  Buffer key(16, std::byte{0x5C});
  for (int b = 0; b < 4; ++b) key[static_cast<size_t>(b)] = static_cast<std::byte>((i >> (8 * b)) & 0xFF);
  item.props.Binary(format::kPidTagSearchKey, key);
  item.props.Text(format::kPidTagInternetMessageId, "<mail" + std::to_string(i) + "@harness.example>");
  item.props.Time(format::kPidTagLastModificationTime,
                  sb::FileTime(2024, 3, 1) + static_cast<uint64_t>(i + 1000 * version) * 600000000ull);
}

}  // namespace

Mailbox BuildSampleMailbox(sb::Format format, int mailCount, uint32_t seed, LayoutKind layout) {
  std::mt19937 rng(seed);
  const bool client = layout == LayoutKind::ClientLike;
  sb::MailboxOptions options;
  options.ndb.format = format;
  // Partly filled pages give deeper index trees with several intermediate
  // pages per level, so index damage hits every level.
  const bool wide = sb::GeometryOf(format).unicode;
  options.ndb.nodeLeafFill = wide ? 10 : 16;
  options.ndb.blockLeafFill = wide ? 14 : 24;
  options.ndb.intermediateFill = 5;
  options.keepRows = client;
  sb::MailboxBuilder mb(options);

  const auto add = [&](const FolderRef& parent, const std::string& name) {
    return FolderRef{mb.AddFolder(parent.nid, name), parent.path + name + "\\"};
  };
  const FolderRef top{mb.topFolder(), kTopPath};
  const FolderRef inbox = add(top, "Inbox");
  const FolderRef projects = add(inbox, "Projects");
  const FolderRef alpha = add(projects, "Alpha");
  const FolderRef beta = add(projects, "Beta");
  const FolderRef customers = add(inbox, "Customers");
  const FolderRef sent = add(top, "Sent Items");
  const FolderRef archive = add(top, "Archive");
  const FolderRef y2023 = add(archive, "2023");
  const FolderRef q1 = add(y2023, "Q1");
  const FolderRef q2 = add(y2023, "Q2");
  const FolderRef y2024 = add(archive, "2024");
  const FolderRef deleted{mb.deletedItems(), std::string(kTopPath) + "Deleted Items\\"};
  const std::vector<FolderRef> folders = {top,   inbox, projects, alpha, beta,  customers, sent,
                                          archive, y2023, q1,     q2,    y2024, deleted};

  std::vector<MailSpec> specs;
  specs.reserve(static_cast<size_t>(mailCount));
  std::vector<MailSpec> gone;
  std::vector<MailSpec> older;
  std::vector<size_t> editable;  // specs a client-like batch may still edit or delete
  std::vector<sb::MailFields> fieldsOf;
  // Client-like: a batch of mails, then a few edited and one deleted, then
  // the folders and indexes rewritten.
  constexpr int kBatch = 20;
  for (int i = 0; i < mailCount; ++i) {
    const FolderRef& folder = folders[static_cast<size_t>(i) % folders.size()];
    char subject[64];
    std::snprintf(subject, sizeof subject, "Mail %04d %s", i, i % 3 == 0 ? "status" : "report");
    sb::MailFields f;
    f.subject = subject;
    f.senderName = "Sender " + std::to_string(i % 17);
    f.senderEmail = "sender" + std::to_string(i % 17) + "@example.com";
    f.displayTo = "Recipient " + std::to_string(i % 5);
    f.deliveryTime = sb::FileTime(2023, 1 + i % 12, 1 + i % 28, i % 24, i % 60);
    const bool equal = client && i % 6 == 5;
    if (equal) {
      // The same newsletter many times: one sender, subject, To and date.
      f.subject = "Weekly digest";
      f.senderName = "Newsletter";
      f.senderEmail = "news@example.com";
      f.displayTo = "Recipient 0";
      f.deliveryTime = sb::FileTime(2023, 6, 5, 8, 0);
    }
    sb::Item item = HarnessMail(rng, i, f);
    if (client) Identity(item, i, 0);
    const uint32_t nid = mb.AddItem(folder.nid, item);
    specs.push_back({nid, f.subject, f.senderName, folder.path});
    fieldsOf.push_back(f);
    if (!client) continue;
    if (!equal) editable.push_back(specs.size() - 1);
    if ((i + 1) % kBatch != 0) continue;
    // Edits and a deletion among the mails of earlier batches.
    for (int edit = 0; edit < 3 && editable.size() > kBatch; ++edit) {
      const size_t pick = rng() % (editable.size() - kBatch);
      const size_t k = editable[pick];
      editable.erase(editable.begin() + static_cast<ptrdiff_t>(pick));
      MailSpec& m = specs[k];
      if (edit < 2) {
        sb::MailFields e = fieldsOf[k];
        e.subject += " (edited)";
        sb::Item changed = HarnessMail(rng, static_cast<int>(k), e);
        Identity(changed, static_cast<int>(k), 1);
        MailSpec was = m;
        was.dataBid = mb.ReplaceItem(m.nid, changed);
        older.push_back(std::move(was));
        m.subject = e.subject;
      } else {
        MailSpec was = m;
        was.dataBid = mb.DeleteItem(m.nid);
        gone.push_back(std::move(was));
        m.nid = 0;
      }
    }
    mb.Checkpoint();
  }
  std::erase_if(specs, [](const MailSpec& m) { return m.nid == 0; });
  Mailbox out = DescribeMailbox(mb, std::move(specs), std::move(gone), std::move(older));
  out.layoutKind = layout;
  return out;
}

}  // namespace velmorix::damage
