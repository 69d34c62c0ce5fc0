// Item decoding: property sets read from property and table contexts, the
// item record with its detail records, item assembly with attachments, and
// the named-property map.
//
// Texts ("text" rule): ANSI stores keep the 8-bit bytes as stored; Unicode
// stores convert UTF-16LE to UTF-8. Raw fields keep the stored bytes in both
// variants. FILETIMEs are raw 8-byte values.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "items/heap.h"
#include "items/text.h"
#include "store/bytes.h"
#include "store/store.h"

namespace velmorix::items {

// ---------------------------------------------------------------------------
// Named-property map

struct NamedPropertyEntry {
  int32_t kind = 0;        // 1 numeric name, 2 string name
  int32_t propertyId = 0;  // 0x8000 + wPropIdx
  uint32_t lid = 0;        // numeric name (kind 1)
  Blob name;               // string name as UTF-8 (kind 2); absent if unreadable
  // The property set, in the byte order stored; all zero when the entry's
  // GUID index names no GUID the map holds.
  std::array<uint8_t, 16> guid{};
};

inline constexpr int32_t kNameNumeric = 1;
inline constexpr int32_t kNameString = 2;

// Entries in ascending property ID; among equal IDs the one taken later comes
// first. Immutable once built, so entry addresses (and their names) stay valid
// for the map's lifetime.
class NamedPropertyMap {
 public:
  NamedPropertyMap() = default;
  // Builds the map from entries in the order they were taken.
  explicit NamedPropertyMap(std::vector<NamedPropertyEntry> taken);
  NamedPropertyMap(NamedPropertyMap&&) = default;
  NamedPropertyMap& operator=(NamedPropertyMap&&) = default;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const std::vector<NamedPropertyEntry>& entries() const { return entries_; }
  // The entry for `propertyId` (the one taken last among equals), or nullptr.
  const NamedPropertyEntry* Find(int32_t propertyId) const;

 private:
  std::vector<NamedPropertyEntry> entries_;
  std::unordered_map<int32_t, size_t> first_;
};

// Parses the NAMEID records of an entry stream, with names from the string
// stream and property sets from the GUID stream when there are ones, in the
// order taken. Records end at the stream's end or at a record whose
// GUID-and-kind word is 0.
std::vector<NamedPropertyEntry> ParseNameIdStreams(ByteSpan entryStream,
                                                   std::optional<ByteSpan> stringStream,
                                                   std::optional<ByteSpan> guidStream = std::nullopt);

// The two property sets named by GUID index rather than by the GUID stream.
inline constexpr std::array<uint8_t, 16> kPsMapi = {0x28, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                    0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr std::array<uint8_t, 16> kPsPublicStrings = {0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                             0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// Reads the name-to-ID map node (NID 0x61) into `out`. 1 when the map was
// built, 0 when there is none (no node, no data block, no property set, no
// entry stream); `out` is left empty then.
int LoadNamedPropertyMap(store::Store& store, NamedPropertyMap& out);

// The same for the map's property context in `node` (a node the deep scan
// found, say): 0 also when the context holds no entry stream.
int LoadNamedPropertyMap(store::Store& store, const store::NodeEntry* node, NamedPropertyMap& out);

// nullptr when `map` is null or holds no entry for `propertyId`.
const NamedPropertyEntry* LookupNamedProperty(const NamedPropertyMap* map, int32_t propertyId);

// ---------------------------------------------------------------------------
// Property sets

// Tag given to a string-named property.
inline constexpr uint32_t kTagStringNamed = 0xFFFFFFFF;
// Marks the tag of a numeric named property whose LID is below 0x8000: it
// decodes into no field.
inline constexpr uint32_t kTagNamedLowLid = 0x10000;

struct PropertyEntry {
  PropertyEntry() = default;
  PropertyEntry(PropertyEntry&&) noexcept = default;
  PropertyEntry& operator=(PropertyEntry&&) noexcept = default;
  // Copies own their value bytes.
  PropertyEntry(const PropertyEntry& o)
      : tag(o.tag), type(o.type), size(o.size), propertyId(o.propertyId), data(o.data.Clone()), name(o.name) {}
  PropertyEntry& operator=(const PropertyEntry& o) {
    if (this != &o) *this = PropertyEntry(o);
    return *this;
  }

  uint32_t tag = 0;         // property ID, LID of a numeric-named property (kTagNamedLowLid | LID below 0x8000), or kTagStringNamed
  uint32_t type = 0;        // property type; the HNID/NID when a subnode value was not read
  int32_t size = 0;         // value bytes in `data`
  uint16_t propertyId = 0;  // the property ID as stored
  Blob data;                // value bytes (NUL after them); absent when not read
  const Blob* name = nullptr;  // string name, owned by the named-property map
};

struct PropertyRow {
  int32_t totalRows = 1;  // rows of the whole context (1 for a property context)
  std::vector<PropertyEntry> entries;  // the row's valid entries
  int32_t count() const { return static_cast<int32_t>(entries.size()); }
};

// Sub-records of an item record, as bits.
inline constexpr uint8_t kRecordDetails = 1;
inline constexpr uint8_t kRecordContact = 2;
inline constexpr uint8_t kRecordFolderCounts = 4;
inline constexpr uint8_t kRecordStoreInfo = 8;
inline constexpr uint8_t kRecordAppointment = 16;
inline constexpr uint8_t kRecordJournal = 32;

// One row for a property context; one per table row for a table context, the
// table's last row first.
struct PropertySet {
  std::vector<PropertyRow> rows;
  // A listing read leaves out the entries it does not keep; these are the
  // sub-records those entries would have created.
  uint8_t skippedRecords = 0;
  int32_t totalRows() const { return rows.empty() ? 0 : rows.front().totalRows; }
};

// How much of a node a read takes.
enum class ReadScope {
  Full,
  // What the item lists and the hierarchy walk use. A property context keeps
  // the entries ListingReads names, every other value is only checked for
  // being readable. ReadTable gives a table's rows without cells (its row
  // matrix is still located and read); ReadPropertySet reads tables whole.
  Listing,
};

// The sub-records (kRecord bits) a property with `tag` creates in an item
// record when its value was read.
uint8_t RecordsCreatedBy(uint32_t tag, bool unicode);
// Whether a listing read keeps the property with `tag`.
bool ListingReads(uint32_t tag);

// ---------------------------------------------------------------------------
// Records

// Item kind codes.
inline constexpr int32_t kKindMail = 1;
inline constexpr int32_t kKindAppointment = 8;
inline constexpr int32_t kKindContact = 9;
inline constexpr int32_t kKindJournal = 10;
inline constexpr int32_t kKindStickyNote = 11;
inline constexpr int32_t kKindTask = 12;
inline constexpr int32_t kKindOther = 13;
inline constexpr int32_t kKindReport = 14;

// Body locator slot sources.
inline constexpr int32_t kSourceSubnode = 1;
inline constexpr int32_t kSourceHeap = 2;

// Where one body value lies: an absolute file offset of the value's bytes in
// an (encoded) data block with its byte count (source 2), or the value's
// subnode NID with size 1 and the node's subnode list (source 1). Empty when
// `location` is 0.
struct BodySlot {
  uint32_t location = 0;
  uint32_t size = 0;
  int32_t source = 0;
  const store::SubnodeList* subnodes = nullptr;  // not owned
};

// The bodies of the item read last. lastKind: 1 plain text, 2 HTML, 3 property
// 0x6619 (the kind captured last). marker: 0, 1 or 2 (how the mail was
// recognised in a Unicode store).
struct BodyLocator {
  int32_t lastKind = 0;
  int32_t marker = 0;
  BodySlot plainSlot;
  BodySlot htmlSlot;
  BodySlot thirdSlot;
};

struct AttachmentRecord {
  Blob fileName;             // 0x3704
  Blob longFileName;         // 0x3707
  Blob mimeTag;              // 0x370E
  Blob data;                 // 0x3701, raw, when its value was read
  int32_t size = 0;          // bytes of data, else 0x0E20
  uint32_t nid = 0;          // 0x67F2, or the data's HNID when 0x3701 was not read
  uint32_t dataBid = 0;      // data BID of the subnode named by nid, after its PC was read
  int32_t method = 0;        // 0x3705
  int32_t renderingPosition = 0;  // 0x370B
  int32_t value3710 = 0;     // 0x3710
};

struct Subject {
  int32_t marker = 0;        // first character when it is a control character, else 0
  int32_t prefixLength = 0;  // second character when marked, else 0
  Blob text;
};

struct MessageDetails {
  // Filled by the session when it lists an item.
  uint32_t nodeId = 0;  // the item's node, to read it again in full
  int32_t lastKind = 0;
  BodySlot plainSlot;
  BodySlot htmlSlot;
  BodySlot thirdSlot;
  std::vector<AttachmentRecord> attachmentList;
  bool attachmentListSecond = false;  // the second reference is the same list
  int32_t marker = 0;
  // Decoded.
  Blob deliveryTime;                     // 0x0E06 raw
  int32_t alternateRecipientAllowed = 0; // 0x0002: 1, -1, 0 when absent
  Blob bodyText;                         // 0x1000, 0x6619 when not captured
  Blob displayCc;                        // 0x0E03
  Blob mhsCommonName;                    // 0x3A0F raw
  int32_t conversationIndexHead = 0;     // 0x0071 first 32 bits
  int32_t conversionProhibited = 0;      // 0x3A03
  int32_t deleteAfterSubmit = 0;         // 0x0E01
  int32_t deliveryReportRequested = 0;   // 0x0023
  Blob value6F04;                        // raw
  int32_t value6F04Size = 0;
  Blob value6F02;                        // raw
  int32_t value6F02Size = 0;
  int32_t messageFlags = 0;              // 0x0E07
  Blob transportHeaders;                 // 0x007D
  Blob htmlBody;                         // 0x1013 when not captured
  int32_t importance = 0;                // 0x0017
  Blob inReplyToId;                      // 0x1042
  int32_t ccMe = 0;                      // 0x0058
  int32_t recipientMe = 0;               // 0x0059
  int32_t toMe = 0;                      // 0x0057
  Blob internetMessageId;                // 0x1035
  int32_t originalSensitivity = 0;       // 0x002E
  Blob receivedBySearchKey;              // 0x0051
  Blob receivedRepresentingSearchKey;    // 0x0052
  Blob sentRepresentingSearchKey;        // 0x003B
  Blob sentRepresentingName;             // 0x0042
  Blob senderSearchKey;                  // 0x0C1D
  int32_t priority = 0;                  // 0x0026
  Blob conversationTopic;                // 0x0070
  int32_t readReceiptRequested = 0;      // 0x0029
  Blob receivedByAddressType;            // 0x0075
  Blob receivedByEmailAddress;           // 0x0076
  Blob receivedRepresentingAddressType;  // 0x0077
  Blob receivedRepresentingEmailAddress; // 0x0078
  int32_t replyRequested = 0;            // 0x0C17
  Blob replyRecipientNames;              // 0x0050
  Blob originalMessageId;                // 0x1046
  int32_t rtfSyncBodyCount = 0;          // 0x1007
  int32_t rtfSyncBodyCrc = 0;            // 0x1006
  Blob rtfSyncBodyTag;                   // 0x1008
  Blob rtfCompressed;                    // 0x1009 (not expanded)
  int32_t rtfInSync = 0;                 // 0x0E1F
  int32_t rtfSyncPrefixCount = 0;        // 0x1010
  int32_t rtfSyncTrailingCount = 0;      // 0x1011
  Blob sentRepresentingAddressType;      // 0x0064
  Blob sentRepresentingEmailAddress;     // 0x0065
  Blob senderAddressType;                // 0x0C1E
  Blob senderEmailAddress;               // 0x0C1F
  int32_t sensitivity = 0;               // 0x0036
  Blob clientSubmitTime;                 // 0x0039 raw
  Blob sentMailEntryId;                  // 0x0E0A raw, ANSI stores only
  Blob displayTo;                        // 0x0E04
  std::unique_ptr<Subject> subject;      // 0x0037; absent when empty
  // Link of the mail and task lists (owned by the session).
  std::atomic<MessageDetails*> nextListed{nullptr};
};

struct ContactDetails {
  uint32_t nodeId = 0;  // the item's node (set by the session)
  Blob account;                   // 0x3A00
  Blob email1Address;             // 0x3003, 0x8083
  Blob email1DisplayName;         // 0x8084
  Blob email1AddressType;         // 0x3002, 0x8082
  Blob email2Address;             // 0x8093
  Blob email2DisplayName;         // 0x8094
  Blob email2AddressType;         // 0x8092
  Blob email3Address;             // 0x80A3
  Blob email3DisplayName;         // 0x80A4
  Blob email3AddressType;         // 0x80A2
  Blob assistant;                 // 0x3A30 raw
  Blob assistantPhone;            // 0x3A2E raw
  Blob billing;                   // 0x8535
  Blob birthday;                  // 0x3A42 raw
  Blob workAddress;               // 0x801B
  int32_t postalAddressId = 0;    // 0x8022: the mailing address, 1 home, 2 work, 3 other
  Blob locality;                  // 0x3A27
  Blob country;                   // 0x3A26
  Blob businessFax;               // 0x3A24 raw
  Blob businessHomePage;          // 0x3A51 raw
  Blob businessPhone;             // 0x3A08
  Blob business2Phone;            // 0x3A1B raw
  Blob postOfficeBox;             // 0x3A2B
  Blob postalCode;                // 0x3A2A
  Blob stateOrProvince;           // 0x3A28
  Blob streetAddress;             // 0x3A29
  Blob callbackPhone;             // 0x3A02
  Blob carPhone;                  // 0x3A1E raw
  Blob companyMainPhone;          // 0x3A57 raw
  Blob companyName;               // 0x3A16
  Blob computerNetworkName;       // 0x3A49 raw
  Blob customerId;                // 0x3A4A raw
  Blob postalAddress;             // 0x3A15
  Blob departmentName;            // 0x3A18 raw
  Blob displayNamePrefix;         // 0x3A45
  Blob givenName;                 // 0x3A06
  Blob flagRequest;               // 0x8530
  Blob freeBusyLocation;          // 0x80D8
  Blob ftpSite;                   // 0x3A4C raw
  Blob fileUnder;                 // 0x8005
  int32_t gender = 0;             // 0x3A4D i16
  Blob governmentIdNumber;        // 0x3A07 raw
  Blob hobbies;                   // 0x3A43 raw
  Blob homeAddress;               // 0x801A
  Blob homeCity;                  // 0x3A59 raw
  Blob homeCountry;               // 0x3A5A raw
  Blob homeFax;                   // 0x3A25 raw
  Blob homePhone;                 // 0x3A09 raw
  Blob home2Phone;                // 0x3A2F
  Blob homePostOfficeBox;         // 0x3A5E raw
  Blob homePostalCode;            // 0x3A5B raw
  Blob homeStateOrProvince;       // 0x3A5C raw
  Blob homeStreet;                // 0x3A5D raw
  Blob initials;                  // 0x3A0A
  Blob isdnNumber;                // 0x3A2D raw
  Blob title;                     // 0x3A17 raw
  Blob keyword;                   // 0x3A0B raw
  Blob language;                  // 0x3A0C raw
  Blob contactLocation;           // 0x3A0D raw
  int32_t mailPermission = 0;     // 0x3A0E bool
  Blob managerName;               // 0x3A4E raw
  Blob middleName;                // 0x3A44
  Blob mileage;                   // 0x8534
  Blob mobilePhone;               // 0x3A1C
  Blob nickname;                  // 0x3A4F raw
  Blob officeLocation;            // 0x3A19 raw
  Blob organizationalIdNumber;    // 0x3A10 raw
  Blob otherAddress;              // 0x801C
  Blob otherCity;                 // 0x3A5F raw
  Blob otherCountry;              // 0x3A60 raw
  Blob otherPhone;                // 0x3A1F raw
  Blob otherPostOfficeBox;        // 0x3A64 raw
  Blob otherPostalCode;           // 0x3A61 raw
  Blob otherStateOrProvince;      // 0x3A62 raw
  Blob otherStreet;               // 0x3A63 raw
  Blob pagerPhone;                // 0x3A21 raw
  Blob personalHomePage;          // 0x3A50 raw
  Blob referredByName;            // 0x3A47 raw
  Blob primaryFax;                // 0x3A23 raw
  Blob primaryPhone;              // 0x3A1A raw
  Blob profession;                // 0x3A46 raw
  Blob radioPhone;                // 0x3A1D raw
  int32_t sendRichInfo = 0;       // 0x3A40 bool
  Blob spouseName;                // 0x3A48 raw
  Blob generation;                // 0x3A05
  Blob surname;                   // 0x3A11
  Blob telexNumber;               // 0x3A2C
  Blob transmittableDisplayName;  // 0x3A20 raw
  Blob ttyTddPhone;               // 0x3A4B raw
  const MessageDetails* backReference = nullptr;  // set by the session
  Blob weddingAnniversary;        // 0x3A41 raw
  std::atomic<ContactDetails*> nextListed{nullptr};
};

struct FolderCounts {
  int32_t contentCount = 0;     // 0x3602
  int32_t unreadCount = 0;      // 0x3603
  int32_t associatedCount = 0;  // 0x3617
  int32_t hasSubfolders = 0;    // 0x360A: 0 or 1
};

struct StoreInfo {
  Blob wastebasketEntryId;  // 0x35E3 raw
  Blob finderEntryId;       // 0x35E7 raw
  Blob subtreeEntryId;      // 0x35E0 raw
  Blob value7C07;           // first 24 bytes of 0x7C07, zero-padded to 24
  int32_t validFolderMask = 0;  // 0x35DF
  int32_t rowVersion = 0;       // 0x67FF
};

struct AppointmentDetails {
  uint32_t nodeId = 0;  // the item's node (set by the session)
  Blob clipEnd;              // 0x8236 raw
  Blob meetingLocation;      // 0x8208
  Blob reminderSignalTime;   // 0x8560 raw
  Blob clipStart;            // 0x8235 raw
  Blob timeZoneDescription;  // 0x8234
  int32_t busyStatus = 0;    // 0x8205
  int32_t color = 0;         // 0x8214
  const MessageDetails* backReference = nullptr;  // set by the session
  std::atomic<AppointmentDetails*> nextListed{nullptr};
};

struct JournalDetails {
  uint32_t nodeId = 0;  // the item's node (set by the session)
  Blob logEnd;    // 0x8708 raw
  Blob logStart;  // 0x8706 raw
  Blob logType;   // 0x8700, 0x8712
  const MessageDetails* backReference = nullptr;  // set by the session
  std::atomic<JournalDetails*> nextListed{nullptr};
};

struct NamedString {
  Blob name;   // copy of the map's name (absent when the map has none)
  Blob value;  // text rule
};

struct ItemRecord {
  std::unique_ptr<MessageDetails> details;
  std::unique_ptr<FolderCounts> folderCounts;
  std::unique_ptr<ContactDetails> contact;
  std::vector<AttachmentRecord> attachments;   // element 0 is the list head
  AttachmentRecord* attachmentCursor = nullptr;  // into `attachments`; not owned
  std::unique_ptr<StoreInfo> storeInfo;
  std::vector<NamedString> namedStrings;       // newest first
  std::unique_ptr<JournalDetails> journal;
  std::unique_ptr<AppointmentDetails> appointment;
  int32_t kind = 0;
  Blob messageClass;        // 0x001A text, or 0x3613 raw for a folder
  Blob displayName;         // 0x3001
  Blob comment;             // 0x3004
  uint32_t messageSize = 0; // 0x0E08
  Blob versionName;         // 0x8554
  Blob key;                 // 0x0FF9 (text rule), replaced by 0x65E3 (16 bytes)
  int32_t keySize = 0;
  int32_t responseRequested = 0;       // 0x0063
  Blob creationTime;                   // 0x3007 raw
  Blob modificationTime;               // 0x3008 raw
  int32_t reassignmentProhibited = 0;  // 0x002B
  // The bodies captured while this item was read. Every BuildItem starts
  // from an empty locator, so no capture carries over to the next item.
  BodyLocator bodyLocator;
  // The item has an attachment table (subnode 0x671) that could not be read;
  // it was built without attachments.
  bool attachmentTableDamaged = false;
};

// ---------------------------------------------------------------------------
// Decoding

// Per-session decoding context. `bodyLocator` collects the captures of the
// property sets read through this context; BuildItem clears it at its start
// and copies it into the item it returns.
struct ItemContext {
  explicit ItemContext(store::Store& s, const NamedPropertyMap* n = nullptr) : store(s), names(n) {}
  store::Store& store;
  const NamedPropertyMap* names = nullptr;
  BodyLocator bodyLocator;
};

// Reads the heap of `dataBid` as a property context (one row) or a table
// context (one row per table row, last row first). `subnodes` is the node's
// subnode list, for values kept in subnodes. nullopt when the heap cannot be
// read, is neither kind of context, its header is not valid, or a table has no
// rows. Entries of an unknown type are left out of their row.
std::optional<PropertySet> ReadPropertySet(ItemContext& ctx, uint32_t dataBid,
                                           const store::SubnodeList* subnodes,
                                           ReadScope scope = ReadScope::Full);

// How reading a table context ended.
enum class TableRead {
  Rows,        // the table and its rows were read
  NoRows,      // the table was read and has no rows
  Unreadable,  // the heap, its header, the row index or the row matrix cannot be read
};

// Reads the heap of `dataBid` as a table context, like ReadPropertySet, and
// tells a table without rows from one that cannot be read. Unlike
// ReadPropertySet, a table whose row matrix cannot be found or read is
// unreadable rather than a set of empty rows. A set only when `how` is Rows.
std::optional<PropertySet> ReadTable(ItemContext& ctx, uint32_t dataBid,
                                     const store::SubnodeList* subnodes, TableRead& how,
                                     ReadScope scope = ReadScope::Full);

// The same over a heap already read (one page per data block).
std::optional<PropertySet> ReadPropertySetFromHeap(ItemContext& ctx, const Heap& heap,
                                                   const store::SubnodeList* subnodes,
                                                   ReadScope scope = ReadScope::Full);

// Maps the entries of `set` onto `item` and its sub-records. Attachment
// properties go to the attachment at the item's cursor, advancing one
// attachment per row. The sub-records a listing read's skipped entries would
// have created are created empty. 0 on success, -1 when `item` is null.
int DecodeProperties(ItemContext& ctx, const PropertySet& set, ItemRecord* item);

// The same, keeping only the attachment properties (attachment tables and
// attachments' own property contexts); every other property is left out.
int DecodeAttachmentProperties(ItemContext& ctx, const PropertySet& set, ItemRecord* item);

// Assembles the item of `node`: its property context, its attachment table
// and each attachment's property context. nullptr when the node has no data
// or its property context cannot be read. An attachment table without rows
// gives an item without attachments; one that cannot be read gives the item
// without attachments and with attachmentTableDamaged set.
//
// With ReadScope::Listing only what the item lists and the hierarchy walk use
// is read, with the same result as a full build for it: kind, messageClass,
// displayName, attachmentTableDamaged, the presence of every sub-record,
// folderCounts, the details' subject, sentRepresentingName, displayTo,
// sentRepresentingEmailAddress, senderEmailAddress, deliveryTime and
// bodyText, the contact's fileUnder, postalAddress, mobilePhone, givenName,
// surname, the work, home and other addresses and postalAddressId, the
// appointment's meetingLocation and the journal's logType.
// `attachments` holds one empty record per attachment table row. Every other
// field is left empty or partly filled; the body locator is left empty.
std::unique_ptr<ItemRecord> BuildItem(ItemContext& ctx, const store::NodeEntry* node,
                                      ReadScope scope = ReadScope::Full);

// What tells stored copies of one item apart: a hash of its property
// context's bytes and hashes of its search key (0x300B) and Internet message
// ID (0x1035), with its last modification time (0x3008). A hash is 0 when
// the value is absent.
struct ItemStamp {
  uint64_t contentHash = 0;
  uint64_t searchKey = 0;
  uint64_t messageId = 0;
  uint64_t modified = 0;  // FILETIME; 0 when absent
  // It holds binary GUID and entry streams and no message class, as the
  // named-property map's context does.
  bool nameMap = false;
  bool folder = false;  // it holds an item count (0x3602), as a folder's context does
  // Its subject, sender name, delivery time and size as a contents table
  // row holds them (MessageRowKey); 0 when all are absent.
  uint64_t rowKey = 0;
};
// nullopt when the heap of `dataBid` cannot be read as a property context.
std::optional<ItemStamp> ReadItemStamp(store::Store& store, uint32_t dataBid);

// Message class and container class classification.
int32_t ClassifyMessageClass(std::string_view messageClass);
int32_t ClassifyContainerClass(ByteSpan containerClass);

}  // namespace velmorix::items
