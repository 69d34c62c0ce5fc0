// Mailbox builder: writes a whole store (message store, name-to-ID map, root
// and top folders, folders with their tables, items of every kind with
// recipients and attachments) through the node-database writer.
//
// Items are written as they are added, so large stores stream; folders,
// their tables, the store and the name-to-ID map are written by Finish().
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "format/vocabulary.h"
#include "storebuilder/ltp.h"
#include "storebuilder/ndb.h"

namespace velmorix::storebuilder {
inline constexpr uint32_t kTopFolderNid = 0x8022;

// FILETIME (100 ns units since 1601-01-01 UTC) of a UTC calendar time.
uint64_t FileTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
inline const uint64_t kDefaultTime = FileTime(2024, 1, 15, 10, 30);

// One value held by a PropertyBag. Text is converted when the store is written:
// UTF-16LE PT_UNICODE in Unicode stores, Windows-1252 PT_STRING8 in ANSI stores.
struct PropValue {
  uint16_t type = 0;
  Buffer bytes;
  std::string text;
  bool isText = false;
  Placement placement = Placement::Auto;
  int treeLevel = 0;  // 2 forces an XXBLOCK when the value is in a subnode
};

// Properties of a store, folder, item or attachment. Setting a property again
// replaces its value (keeping its placement).
class PropertyBag {
 public:
  struct Entry {
    bool named = false;
    uint16_t id = 0;     // tag properties
    PropertyName name;   // named properties
    PropValue value;
  };

  PropertyBag& Text(uint16_t id, std::string_view utf8);
  PropertyBag& Short(uint16_t id, uint16_t v);
  PropertyBag& Long(uint16_t id, uint32_t v);
  PropertyBag& Bool(uint16_t id, bool v);
  PropertyBag& Time(uint16_t id, uint64_t filetime);
  PropertyBag& Binary(uint16_t id, ByteSpan bytes);
  PropertyBag& Raw(uint16_t id, uint16_t type, ByteSpan bytes);

  PropertyBag& NamedText(const PropertyName& name, std::string_view utf8);
  PropertyBag& NamedLong(const PropertyName& name, uint32_t v);
  PropertyBag& NamedBool(const PropertyName& name, bool v);
  PropertyBag& NamedTime(const PropertyName& name, uint64_t filetime);
  PropertyBag& NamedRaw(const PropertyName& name, uint16_t type, ByteSpan bytes);

  // Where a value goes when written (Subnode forces a subnode even for small
  // values); treeLevel 2 makes that subnode's data an XXBLOCK tree. Throws
  // std::out_of_range when the property is not set.
  PropertyBag& Place(uint16_t id, Placement placement, int treeLevel = 0);
  PropertyBag& PlaceNamed(const PropertyName& name, Placement placement, int treeLevel = 0);

  void Remove(uint16_t id);
  const PropValue* Find(uint16_t id) const;
  const PropValue* FindNamed(const PropertyName& name) const;
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  PropValue& Slot(uint16_t id);
  PropValue& NamedSlot(const PropertyName& name);
  std::vector<Entry> entries_;
};

struct Item;

struct Attachment {
  std::string fileName;  // 0x3704, 0x3707 and 0x3001
  Buffer data;           // 0x3701 (binary)
  int method = 1;        // 0x3705: 1 by value
  std::string mimeTag;   // 0x370E when not empty
  std::optional<uint32_t> size;  // 0x0E20; default: the data size
  Placement dataPlacement = Placement::Auto;  // Subnode: in a subnode of the attachment
  int dataTreeLevel = 0;
  // An embedded message (method 5): 0x3701 becomes an object value naming a
  // subnode of the attachment that holds the message; `data` is not used.
  std::shared_ptr<const Item> embedded;
  PropertyBag props;  // extra or overriding properties
};

struct Recipient {
  Recipient() = default;
  Recipient(std::string n, std::string e, int t = 1, std::string at = "SMTP", std::string smtp = {})
      : name(std::move(n)), email(std::move(e)), type(t), addressType(std::move(at)), smtpAddress(std::move(smtp)) {}
  std::string name;
  std::string email;
  int type = 1;  // 1 To, 2 Cc, 3 Bcc
  std::string addressType = "SMTP";  // 0x3002
  std::string smtpAddress;           // 0x39FE when not empty (adds that column)
};

// How an item's attachment table (subnode 0x671) is written. The forms
// other than Normal are for tests of damaged and unusual stores.
enum class AttachmentTableForm {
  Normal,         // one row per attachment; no table without attachments
  NoRows,         // a table without rows (attachments removed); `attachments` unused
  MatrixMissing,  // the rows' matrix in a subnode that the item does not have
  Overwritten,    // the table's heap blocks overwritten with bytes that are no heap
};

struct Item {
  PropertyBag props;
  std::vector<Attachment> attachments;
  std::vector<Recipient> recipients;
  // The recipient table's columns (after the row ID and version) when set:
  // cells of other columns are left out, as in tables that lack them.
  std::optional<std::vector<uint32_t>> recipientColumns;
  AttachmentTableForm attachmentTable = AttachmentTableForm::Normal;
};

// Convenience constructors for the item kinds. Empty texts leave the property out.
// Items other than mails get 0x0E06, 0x3007 and 0x3008 from their main time
// (appointment start, task due date, journal start, else kDefaultTime).
struct MailFields {
  std::string messageClass = "IPM.Note";
  std::string subject;
  std::string senderName;   // 0x0042 and 0x0C1A
  std::string senderEmail;  // 0x0065 and 0x0C1F
  std::string displayTo;    // 0x0E04
  std::string displayCc;    // 0x0E03
  std::string body;         // 0x1000
  std::string html;         // 0x1013 (binary, UTF-8)
  std::string transportHeaders;  // 0x007D
  std::string rtf;               // 0x1009, compressed (LZFu) unless rtfUncompressed (MELA)
  bool rtfUncompressed = false;
  uint64_t deliveryTime = kDefaultTime;  // 0x0E06 and 0x0039; 0 leaves them out
  uint32_t messageFlags = 0x01;          // 0x0E07 (read)
  bool bodyInSubnode = false;
};
Item MakeMail(const MailFields& f);
// A delivery report ("REPORT.IPM.Note").
Item MakeReport(const MailFields& f);

struct ContactFields {
  std::string displayName;  // 0x3001 and the subject
  std::string fileUnder;    // named 0x8005 (PSETID_Address)
  std::string givenName, surname, companyName;
  std::string postalAddress;  // 0x3A15
  std::string mobilePhone;    // 0x3A1C
  std::string businessPhone;  // 0x3A08
  std::string email;          // named 0x8083, with 0x8082 "SMTP" and 0x8080 display name
};
Item MakeContact(const ContactFields& f);

struct AppointmentFields {
  std::string subject, location, body;  // location: named 0x8208
  uint64_t start = kDefaultTime;        // 0x820D and clip start 0x8235
  uint64_t end = kDefaultTime + 36000000000ull;  // 0x820E and clip end 0x8236
  uint32_t busyStatus = 2;              // 0x8205
};
Item MakeAppointment(const AppointmentFields& f);

struct TaskFields {
  std::string subject, body;
  uint64_t dueDate = 0;  // 0x8105 when non-zero
  uint32_t status = 0;   // 0x8101
  bool complete = false; // 0x811C
};
Item MakeTask(const TaskFields& f);

struct NoteFields {
  std::string subject, body;
  uint32_t color = 3;  // 0x8B00
};
Item MakeStickyNote(const NoteFields& f);

struct JournalFields {
  std::string subject, body;
  std::string logType = "Phone call";  // 0x8700
  uint64_t start = kDefaultTime;       // 0x8706
  uint64_t end = kDefaultTime + 3000000000ull;  // 0x8708
};
Item MakeJournal(const JournalFields& f);

struct FolderOptions {
  std::string containerClass;  // 0x3613 when not empty
  // Written counts; default: the items added (unread = without the read flag)
  // and whether subfolders were added.
  std::optional<uint32_t> contentCount;
  std::optional<uint32_t> unreadCount;
  std::optional<bool> hasSubfolders;
  PropertyBag props;  // extra or overriding properties
};

struct MailboxOptions {
  NdbOptions ndb;
  std::string storeName = "Personal Folders";
  std::array<uint8_t, 16> recordKey = {0x4E, 0x88, 0x78, 0x73, 0xE2, 0x9E, 0xC9, 0x44,
                                       0x8E, 0xC2, 0x34, 0x6D, 0xFA, 0x6D, 0xF8, 0x58};
  // Folder the store's IPM subtree ENTRYID names; nullopt leaves it out.
  std::optional<uint32_t> subtreeEntryNid = kTopFolderNid;
  std::string topFolderName = "Top of Personal Folders";
  bool deletedItems = true;  // "Deleted Items" below the top folder
  bool searchRoot = true;    // "Search Root" below the root folder
  bool templates = true;     // table templates and the other internal nodes
  bool nameMap = true;       // write the name-to-ID map node
  bool contentsRows = true;  // fill the folders' contents tables
  // Options of every table written (rowsInSubnode forces row matrices into
  // subnodes, a lower maxItemBytes spreads row indexes over index levels).
  TcOptions tables;
  // The client-like layout: contents rows kept as cells, so that items can
  // be replaced and deleted and folders written more than once (see
  // Checkpoint()). Rows are written whether or not contentsRows is set.
  bool keepRows = false;
  PropertyBag storeProps;    // extra or overriding store properties
  // When set, the name-to-ID map node holds exactly these properties.
  std::optional<std::vector<PcProperty>> nameMapProperties;
};

class MailboxBuilder {
 public:
  explicit MailboxBuilder(MailboxOptions options = {});
  ~MailboxBuilder();
  MailboxBuilder(const MailboxBuilder&) = delete;
  MailboxBuilder& operator=(const MailboxBuilder&) = delete;

  NdbWriter& ndb() { return *ndb_; }
  NameToIdMap& names() { return names_; }
  bool unicode() const;
  LtpFormat Ltp() const;

  uint32_t rootFolder() const { return format::kNidRootFolder; }
  uint32_t topFolder() const { return kTopFolderNid; }
  uint32_t deletedItems() const { return deletedItems_; }  // 0 when not made
  uint32_t searchRoot() const { return searchRoot_; }      // 0 when not made

  // Adds a folder below `parent` (any folder known to the builder) and
  // returns its NID. Throws std::invalid_argument for an unknown parent.
  uint32_t AddFolder(uint32_t parent, std::string_view displayName,
                     const FolderOptions& options = {});
  // Writes an item into `folder` (its node index parent) and returns its NID.
  uint32_t AddItem(uint32_t folder, const Item& item);

  // Client-like edits (keepRows only), defined in client_layout.cpp.
  // ReplaceItem writes a new version of the item under the same NID and
  // frees the old version's blocks, returning the old data BID; DeleteItem
  // takes the item's node and row out and frees its blocks, returning its
  // data BID. The freed blocks stay in the file. Throw std::invalid_argument
  // for an item not added (or deleted).
  uint32_t ReplaceItem(uint32_t nid, const Item& item);
  uint32_t DeleteItem(uint32_t nid);
  // Rewrites the folders changed since the last checkpoint (their context
  // and tables; the store record the first time) and then appends both index
  // trees as they stand, as a mail client does after each batch of changes:
  // the older versions stay behind, unreferenced.
  void Checkpoint();

  // Writes folders, tables, the store and the name-to-ID map. Idempotent;
  // nothing may be added afterwards.
  void Finish();
  // The same without laying out the indexes yet: the leaf pages may still
  // be chosen (ndb().SetNodeLeafPages) before Finish or Build.
  void WriteMailbox();
  Buffer Build();
  void Write(const std::string& path);

 private:
  struct Folder;
  // Subnode numbering of one top-level message, shared with its embedded messages.
  struct MessageIds {
    SubnodeNids ltp;
    uint32_t attachmentIndex = 0x401;
  };
  // An item as written, when rows are kept: what a replacement frees.
  struct KeptItem {
    uint32_t folder = 0;
    uint32_t dataBid = 0;
    uint32_t firstBid = 0;  // the BIDs its blocks took: [firstBid, endBid) by index
    uint32_t endBid = 0;
    bool read = false;
  };
  struct WrittenMessage {
    uint32_t dataBid = 0;
    uint32_t subnodeBid = 0;
    uint32_t size = 0;
    bool read = false;
    std::vector<TcCell> row;  // contents table cells, when asked for
  };
  WrittenMessage WriteMessage(const Item& item, MessageIds& ids, bool wantRow);
  Folder& FolderOf(uint32_t nid);
  std::vector<PcProperty> Resolve(const PropertyBag& bag);
  PcProperty Resolve(const PropertyBag::Entry& e);
  uint32_t WriteHeap(const std::vector<Buffer>& pages);
  uint32_t WriteValue(const LtpSubnode& value);
  uint32_t WriteLtp(LtpNode& node, std::vector<SubnodeRef>& refs);
  uint32_t WriteSubnodes(std::vector<SubnodeRef> refs);
  uint32_t WriteEmptyTable(const std::vector<uint32_t>& columns);
  uint32_t WritePcNode(uint32_t nid, uint32_t parent, std::vector<PcProperty> props);
  std::vector<uint32_t> Columns(std::vector<uint32_t> tags) const;
  void WriteFolder(Folder& f);
  void RewriteFolder(Folder& f);
  void WriteTemplates();
  void FreeBids(uint32_t firstBid, uint32_t endBid);
  void WriteStore();
  void WriteInternalNodes();

  MailboxOptions options_;
  std::unique_ptr<NdbWriter> ndb_;
  NameToIdMap names_;
  std::vector<std::unique_ptr<Folder>> folders_;
  std::unordered_map<uint32_t, Folder*> folderByNid_;
  uint32_t nextFolderIndex_ = 0x401;
  uint32_t nextMessageIndex_ = 0x10001;
  uint32_t deletedItems_ = 0;
  uint32_t searchRoot_ = 0;
  uint32_t emptyRecipientTable_ = 0;
  uint32_t hierarchyTemplate_ = 0;
  uint32_t contentsTemplate_ = 0;
  uint32_t faiTemplate_ = 0;
  std::unordered_map<uint32_t, KeptItem> kept_;
  bool storeWritten_ = false;
  bool finished_ = false;
};

}  // namespace velmorix::storebuilder
