// Damaged-store harness: damaged variants of a builder mailbox, and for each
// variant the mails that are still intact.
//
// A mail is intact when none of the bytes it depends on were changed: the
// header; its node index leaf entry and every node index page on the path to
// it; its data and subnode blocks with everything below them (data trees,
// nested subnode blocks), each with its block index leaf entry and the block
// index pages on the path to that entry; the same for every folder from its
// parent up to the top folder, and for the message store node. Such a mail
// must be recovered into its folder whatever else the damage did.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storebuilder/mailbox.h"

namespace velmorix::damage {

namespace sb = velmorix::storebuilder;

// A half-open byte range [begin, end) of the file.
struct Range {
  uint64_t begin = 0;
  uint64_t end = 0;
  bool operator==(const Range&) const = default;
};

// Sorts and merges touching or overlapping ranges.
std::vector<Range> Coalesce(std::vector<Range> ranges);
// True when any range of `a` overlaps any range of `b` (both coalesced).
bool Overlaps(const std::vector<Range>& a, const std::vector<Range>& b);

// One mail as the caller added it.
struct MailSpec {
  uint32_t nid = 0;
  std::string subject;     // as the item list shows it
  std::string sender;      // as the From column shows it
  std::string folderPath;  // the tree path of its folder, "Personal Folders\\Inbox\\"
  // A deleted mail or an older version: the data block it left behind (its
  // node names another block or none).
  uint32_t dataBid = 0;
};

struct MailInfo {
  MailSpec spec;
  std::vector<Range> dependencies;  // coalesced
  // The mail's own property-context blocks (its data block or data tree):
  // what a scan that reads blocks without the indexes needs. Coalesced.
  std::vector<Range> ownBlocks;
  // Its folder's contents table blocks, and the property-context blocks of
  // the folders on its path with their parents' hierarchy tables: what
  // placing it by path from found tables needs. Coalesced.
  std::vector<Range> folderBlocks;
};

// How the mailbox is laid out in the file.
enum class LayoutKind {
  Compact,     // as the builder writes: items, then folders, then the indexes
  ClientLike,  // as mail clients leave it: folders and indexes rewritten after each
               // batch (older versions left as free space), items edited and
               // deleted, many mails with equal headline fields
};
const char* LayoutName(LayoutKind layout);  // "compact", "client"

// A pristine store image with the byte dependencies of its mails.
struct Mailbox {
  sb::Format format = sb::Format::Unicode23;
  Buffer image;
  sb::Layout layout;
  std::vector<MailInfo> mails;
  LayoutKind layoutKind = LayoutKind::Compact;
  // Client-like: mails deleted with their blocks left behind (folderPath the
  // former folder), and the older versions of edited mails (nid the mail's,
  // subject the older one).
  std::vector<MailInfo> deleted;
  std::vector<MailInfo> stale;
};

// Finishes the builder and works out what each mail depends on. Throws
// std::invalid_argument for a mail NID the store does not hold.
Mailbox DescribeMailbox(sb::MailboxBuilder& builder, std::vector<MailSpec> mails,
                        std::vector<MailSpec> deleted = {}, std::vector<MailSpec> stale = {});

// The harness's standard mailbox: `mailCount` mails spread over nested
// folders (and the top folder), bodies in the heap, in subnodes and in data
// trees, HTML bodies, recipients, small and large attachments. Any format,
// the 4 KiB-page one included.
// In the client-like layout some of the mails added are deleted again and
// some edited; a sixth share one sender, subject, To and date.
Mailbox BuildSampleMailbox(sb::Format format, int mailCount, uint32_t seed,
                           LayoutKind layout = LayoutKind::Compact);

enum class DamageKind { Cut, IndexPage, DataBlock, SubnodeBlock, BitFlips, ZeroRegion, Header };
inline constexpr DamageKind kAllKinds[] = {DamageKind::Cut,        DamageKind::IndexPage,  DamageKind::DataBlock,
                                           DamageKind::SubnodeBlock, DamageKind::BitFlips, DamageKind::ZeroRegion,
                                           DamageKind::Header};
const char* KindName(DamageKind kind);  // "cut", "index-page", ...
std::optional<DamageKind> ParseKind(std::string_view name);

struct Variant {
  DamageKind kind = DamageKind::Cut;
  std::string description;    // what was done, with offsets
  Buffer image;
  std::vector<Range> changed;  // coalesced; a cut counts as changing the tail
  std::vector<bool> intact;    // per mail of the mailbox
  std::vector<bool> ownIntact;  // per mail: its own property-context blocks untouched
  std::vector<bool> folderIntact;  // per mail: its folder path's contexts and contents table untouched
  std::vector<bool> deletedIntact;  // per deleted mail: its blocks untouched
};

// One damaged variant. `parameter` is the kind's knob: the cut fraction
// (0..1), the bit-flip rate per bit, the zeroed length in bytes, the
// garbled length of the header; for the three overwrite kinds it picks the
// page or block (0..1 over the candidates). Unset, it is drawn from `seed`, which also draws the place
// and the garbage written.
Variant MakeVariant(const Mailbox& mailbox, DamageKind kind, uint64_t seed,
                    std::optional<double> parameter = std::nullopt);

// The ranges where `damaged` differs from `original`, bytes past the end of
// a shorter `damaged` included.
std::vector<Range> ChangedRanges(const Buffer& original, const Buffer& damaged);

}  // namespace velmorix::damage
