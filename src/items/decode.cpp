// Maps decoded properties onto the item record and its detail records.
#include <array>
#include <cctype>
#include <cstring>

#include "format/vocabulary.h"
#include "items/items.h"

namespace velmorix::items {
namespace {
constexpr uint32_t kAttach3710 = 0x3710;

bool IsAttachmentProperty(uint32_t tag) {
  switch (tag) {
    case format::kPidTagAttachSize: case format::kPidTagAttachDataBinary: case format::kPidTagAttachFilename: case format::kPidTagAttachMethod:
    case format::kPidTagAttachLongFilename: case format::kPidTagRenderingPosition: case format::kPidTagAttachMimeTag: case kAttach3710:
    case format::kPidTagLtpRowId:
      return true;
    default:
      return false;
  }
}

template <typename T>
T& Ensure(std::unique_ptr<T>& p) {
  if (!p) p = std::make_unique<T>();
  return *p;
}

bool IsControl(uint32_t c) { return c < 0x20 || c == 0x7F; }

class Decoder {
 public:
  Decoder(ItemContext& ctx, ItemRecord& item)
      : Decoder(ctx.store.variant != store::Variant::Ansi, item) {}
  Decoder(bool unicode, ItemRecord& item) : item_(item), unicode_(unicode) {}

  void Property(const PropertyEntry& e) {
    if (!e.data) return;  // a value that was not read leaves its field empty
    if (e.tag == kTagStringNamed) {
      item_.namedStrings.insert(item_.namedStrings.begin(),
                                NamedString{e.name ? e.name->Clone() : Blob(), Text(e)});
      return;
    }
    switch (e.tag) {
      // Item record.
      case 0x001A:
        item_.messageClass = Text(e);
        item_.kind = ClassifyMessageClass(item_.messageClass.view());
        break;
      case 0x3613:
        item_.messageClass = Raw(e);
        item_.kind = ClassifyContainerClass(item_.messageClass.bytes());
        break;
      case 0x3001: item_.displayName = Text(e); break;
      case 0x3004: item_.comment = Text(e); break;
      case 0x0E08: item_.messageSize = static_cast<uint32_t>(Int(e)); break;
      case 0x8554: item_.versionName = Text(e); break;
      case 0x0FF9:
        item_.key = Text(e);
        item_.keySize = e.size;
        break;
      case 0x65E3: {
        // The 16 bytes after the change list's first byte.
        std::byte key[16] = {};
        ByteSpan b = e.data.bytes();
        for (size_t i = 0; i < 16 && i + 1 < b.size(); ++i) key[i] = b[i + 1];
        item_.key = Blob::Of(ByteSpan(key, 16));
        item_.keySize = 16;
        break;
      }
      case 0x0063: item_.responseRequested = Bool(e); break;
      case 0x3007: item_.creationTime = Raw(e); break;
      case 0x3008: item_.modificationTime = Raw(e); break;
      case 0x002B: item_.reassignmentProhibited = Bool(e); break;

      // Message details.
      case 0x0E06: D().deliveryTime = Raw(e); break;
      case 0x0002: D().alternateRecipientAllowed = First16(e) != 0 ? 1 : -1; break;
      case 0x1000: D().bodyText = Text(e); break;
      case 0x6619: D().bodyText = Text(e); break;
      case 0x0E03: D().displayCc = Text(e); break;
      case 0x3A0F: D().mhsCommonName = Raw(e); break;
      case 0x0071: D().conversationIndexHead = Int(e); break;
      case 0x3A03: D().conversionProhibited = Bool(e); break;
      case 0x0E01: D().deleteAfterSubmit = Bool(e); break;
      case 0x0023: D().deliveryReportRequested = Bool(e); break;
      case 0x6F04:
        D().value6F04 = Raw(e);
        D().value6F04Size = e.size;
        break;
      case 0x6F02:
        D().value6F02 = Raw(e);
        D().value6F02Size = e.size;
        break;
      case 0x0E07: D().messageFlags = Int(e); break;
      case 0x007D: D().transportHeaders = Text(e); break;
      case 0x1013: D().htmlBody = Text(e); break;
      case 0x0017: D().importance = Int(e); break;
      case 0x1042: D().inReplyToId = Text(e); break;
      case 0x0058: D().ccMe = Bool(e); break;
      case 0x0059: D().recipientMe = Bool(e); break;
      case 0x0057: D().toMe = Bool(e); break;
      case 0x1035: D().internetMessageId = Text(e); break;
      case 0x002E: D().originalSensitivity = Int(e); break;
      case 0x0051: D().receivedBySearchKey = Text(e); break;
      case 0x0052: D().receivedRepresentingSearchKey = Text(e); break;
      case 0x003B: D().sentRepresentingSearchKey = Text(e); break;
      case 0x0042: D().sentRepresentingName = Text(e); break;
      case 0x0C1D: D().senderSearchKey = Text(e); break;
      case 0x0026: D().priority = Int(e); break;
      case 0x0070: D().conversationTopic = Text(e); break;
      case 0x0029: D().readReceiptRequested = Bool(e); break;
      case 0x0075: D().receivedByAddressType = Text(e); break;
      case 0x0076: D().receivedByEmailAddress = Text(e); break;
      case 0x0077: D().receivedRepresentingAddressType = Text(e); break;
      case 0x0078: D().receivedRepresentingEmailAddress = Text(e); break;
      case 0x0C17: D().replyRequested = Bool(e); break;
      case 0x0050: D().replyRecipientNames = Text(e); break;
      case 0x1046: D().originalMessageId = Text(e); break;
      case 0x1007: D().rtfSyncBodyCount = Int(e); break;
      case 0x1006: D().rtfSyncBodyCrc = Int(e); break;
      case 0x1008: D().rtfSyncBodyTag = Text(e); break;
      case 0x1009: D().rtfCompressed = Text(e); break;
      case 0x0E1F: D().rtfInSync = Bool(e); break;
      case 0x1010: D().rtfSyncPrefixCount = Int(e); break;
      case 0x1011: D().rtfSyncTrailingCount = Int(e); break;
      case 0x0064: D().sentRepresentingAddressType = Text(e); break;
      case 0x0065: D().sentRepresentingEmailAddress = Text(e); break;
      case 0x0C1E: D().senderAddressType = Text(e); break;
      case 0x0C1F: D().senderEmailAddress = Text(e); break;
      case 0x0036: D().sensitivity = Int(e); break;
      case 0x0039: D().clientSubmitTime = Raw(e); break;
      case 0x0E0A:
        if (!unicode_) D().sentMailEntryId = Raw(e);
        break;
      case 0x0E04: D().displayTo = Text(e); break;
      case 0x0037: SetSubject(e); break;

      // Contact details.
      case 0x3A00: C().account = Text(e); break;
      case 0x3003: C().email1Address = Text(e); break;
      case 0x8083: C().email1Address = Text(e); break;
      case 0x8084: C().email1DisplayName = Text(e); break;
      case 0x3002: C().email1AddressType = Text(e); break;
      case 0x8082: C().email1AddressType = Text(e); break;
      case 0x8093: C().email2Address = Text(e); break;
      case 0x8094: C().email2DisplayName = Text(e); break;
      case 0x8092: C().email2AddressType = Text(e); break;
      case 0x80A3: C().email3Address = Text(e); break;
      case 0x80A4: C().email3DisplayName = Text(e); break;
      case 0x80A2: C().email3AddressType = Text(e); break;
      case 0x3A30: C().assistant = Raw(e); break;
      case 0x3A2E: C().assistantPhone = Raw(e); break;
      case 0x8535: C().billing = Text(e); break;
      case 0x3A42: C().birthday = Raw(e); break;
      case 0x801B: C().workAddress = Text(e); break;
      case 0x8022: C().postalAddressId = Int(e); break;
      case 0x3A27: C().locality = Text(e); break;
      case 0x3A26: C().country = Text(e); break;
      case 0x3A24: C().businessFax = Raw(e); break;
      case 0x3A51: C().businessHomePage = Raw(e); break;
      case 0x3A08: C().businessPhone = Text(e); break;
      case 0x3A1B: C().business2Phone = Raw(e); break;
      case 0x3A2B: C().postOfficeBox = Text(e); break;
      case 0x3A2A: C().postalCode = Text(e); break;
      case 0x3A28: C().stateOrProvince = Text(e); break;
      case 0x3A29: C().streetAddress = Text(e); break;
      case 0x3A02: C().callbackPhone = Text(e); break;
      case 0x3A1E: C().carPhone = Raw(e); break;
      case 0x3A57: C().companyMainPhone = Raw(e); break;
      case 0x3A16: C().companyName = Text(e); break;
      case 0x3A49: C().computerNetworkName = Raw(e); break;
      case 0x3A4A: C().customerId = Raw(e); break;
      case 0x3A15: C().postalAddress = Text(e); break;
      case 0x3A18: C().departmentName = Raw(e); break;
      case 0x3A45: C().displayNamePrefix = Text(e); break;
      case 0x3A06: C().givenName = Text(e); break;
      case 0x8530: C().flagRequest = Text(e); break;
      case 0x80D8: C().freeBusyLocation = Text(e); break;
      case 0x3A4C: C().ftpSite = Raw(e); break;
      case 0x8005: C().fileUnder = Text(e); break;
      case 0x3A4D: C().gender = I16(e); break;
      case 0x3A07: C().governmentIdNumber = Raw(e); break;
      case 0x3A43: C().hobbies = Raw(e); break;
      case 0x801A: C().homeAddress = Text(e); break;
      case 0x3A59: C().homeCity = Raw(e); break;
      case 0x3A5A: C().homeCountry = Raw(e); break;
      case 0x3A25: C().homeFax = Raw(e); break;
      case 0x3A09: C().homePhone = Raw(e); break;
      case 0x3A2F: C().home2Phone = Text(e); break;
      case 0x3A5E: C().homePostOfficeBox = Raw(e); break;
      case 0x3A5B: C().homePostalCode = Raw(e); break;
      case 0x3A5C: C().homeStateOrProvince = Raw(e); break;
      case 0x3A5D: C().homeStreet = Raw(e); break;
      case 0x3A0A: C().initials = Text(e); break;
      case 0x3A2D: C().isdnNumber = Raw(e); break;
      case 0x3A17: C().title = Raw(e); break;
      case 0x3A0B: C().keyword = Raw(e); break;
      case 0x3A0C: C().language = Raw(e); break;
      case 0x3A0D: C().contactLocation = Raw(e); break;
      case 0x3A0E: C().mailPermission = Bool(e); break;
      case 0x3A4E: C().managerName = Raw(e); break;
      case 0x3A44: C().middleName = Text(e); break;
      case 0x8534: C().mileage = Text(e); break;
      case 0x3A1C: C().mobilePhone = Text(e); break;
      case 0x3A4F: C().nickname = Raw(e); break;
      case 0x3A19: C().officeLocation = Raw(e); break;
      case 0x3A10: C().organizationalIdNumber = Raw(e); break;
      case 0x801C: C().otherAddress = Text(e); break;
      case 0x3A5F: C().otherCity = Raw(e); break;
      case 0x3A60: C().otherCountry = Raw(e); break;
      case 0x3A1F: C().otherPhone = Raw(e); break;
      case 0x3A64: C().otherPostOfficeBox = Raw(e); break;
      case 0x3A61: C().otherPostalCode = Raw(e); break;
      case 0x3A62: C().otherStateOrProvince = Raw(e); break;
      case 0x3A63: C().otherStreet = Raw(e); break;
      case 0x3A21: C().pagerPhone = Raw(e); break;
      case 0x3A50: C().personalHomePage = Raw(e); break;
      case 0x3A47: C().referredByName = Raw(e); break;
      case 0x3A23: C().primaryFax = Raw(e); break;
      case 0x3A1A: C().primaryPhone = Raw(e); break;
      case 0x3A46: C().profession = Raw(e); break;
      case 0x3A1D: C().radioPhone = Raw(e); break;
      case 0x3A40: C().sendRichInfo = Bool(e); break;
      case 0x3A48: C().spouseName = Raw(e); break;
      case 0x3A05: C().generation = Text(e); break;
      case 0x3A11: C().surname = Text(e); break;
      case 0x3A2C: C().telexNumber = Text(e); break;
      case 0x3A20: C().transmittableDisplayName = Raw(e); break;
      case 0x3A4B: C().ttyTddPhone = Raw(e); break;
      case 0x3A41: C().weddingAnniversary = Raw(e); break;

      // Folder counts.
      case 0x3602: Ensure(item_.folderCounts).contentCount = Int(e); break;
      case 0x3603: Ensure(item_.folderCounts).unreadCount = Int(e); break;
      case 0x3617: Ensure(item_.folderCounts).associatedCount = Int(e); break;
      case 0x360A: Ensure(item_.folderCounts).hasSubfolders = Int(e) != 0 ? 1 : 0; break;

      // Store info.
      case 0x35E3: Ensure(item_.storeInfo).wastebasketEntryId = Raw(e); break;
      case 0x35E7: Ensure(item_.storeInfo).finderEntryId = Raw(e); break;
      case 0x35E0: Ensure(item_.storeInfo).subtreeEntryId = Raw(e); break;
      case 0x7C07: {
        std::byte words[24] = {};
        ByteSpan b = e.data.bytes();
        std::memcpy(words, b.data(), std::min<size_t>(b.size(), sizeof words));
        Ensure(item_.storeInfo).value7C07 = Blob::Of(ByteSpan(words, sizeof words));
        break;
      }
      case 0x35DF: Ensure(item_.storeInfo).validFolderMask = Int(e); break;
      case 0x67FF: Ensure(item_.storeInfo).rowVersion = Int(e); break;

      // Appointment details.
      case 0x8236: Ensure(item_.appointment).clipEnd = Raw(e); break;
      case 0x8208: Ensure(item_.appointment).meetingLocation = Text(e); break;
      case 0x8560: Ensure(item_.appointment).reminderSignalTime = Raw(e); break;
      case 0x8235: Ensure(item_.appointment).clipStart = Raw(e); break;
      case 0x8234: Ensure(item_.appointment).timeZoneDescription = Text(e); break;
      case 0x8205: Ensure(item_.appointment).busyStatus = Int(e); break;
      case 0x8214: Ensure(item_.appointment).color = Int(e); break;

      // Journal details.
      case 0x8708: Ensure(item_.journal).logEnd = Raw(e); break;
      case 0x8706: Ensure(item_.journal).logStart = Raw(e); break;
      case 0x8700: Ensure(item_.journal).logType = Text(e); break;
      case 0x8712: Ensure(item_.journal).logType = Text(e); break;

      default:
        // Recognised but not kept (sender entry ID and name, search key, ...)
        // and everything unknown alike.
        break;
    }
  }

  void Attachment(const PropertyEntry& e, AttachmentRecord& a) {
    if (e.tag == format::kPidTagAttachDataBinary) {
      if (e.data) {
        a.data = Raw(e);
        a.size = e.size;
      } else {
        a.nid = e.type;  // the HNID or object NID of the unread value
      }
      return;
    }
    if (!e.data) return;
    switch (e.tag) {
      case format::kPidTagAttachSize:
        if (a.size == 0) a.size = Int(e);
        break;
      case format::kPidTagAttachFilename: a.fileName = Text(e); break;
      case format::kPidTagAttachMethod: a.method = Int(e); break;
      case format::kPidTagAttachLongFilename: a.longFileName = Text(e); break;
      case format::kPidTagRenderingPosition: a.renderingPosition = Int(e); break;
      case format::kPidTagAttachMimeTag: a.mimeTag = Text(e); break;
      case kAttach3710: a.value3710 = Int(e); break;
      case format::kPidTagLtpRowId: a.nid = static_cast<uint32_t>(Int(e)); break;
      default: break;
    }
  }

 private:
  MessageDetails& D() { return Ensure(item_.details); }
  ContactDetails& C() { return Ensure(item_.contact); }

  Blob Text(const PropertyEntry& e) const {
    return unicode_ ? WideToUtf8Blob(e.data.bytes()) : Blob::Of(e.data.bytes());
  }
  static Blob Raw(const PropertyEntry& e) { return Blob::Of(e.data.bytes()); }
  static int32_t Int(const PropertyEntry& e) {
    ByteSpan b = e.data.bytes();
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && i < b.size(); ++i) v |= static_cast<uint32_t>(b[i]) << (8 * i);
    return static_cast<int32_t>(v);
  }
  static uint16_t First16(const PropertyEntry& e) { return static_cast<uint16_t>(Int(e) & 0xFFFF); }
  static int32_t Bool(const PropertyEntry& e) { return First16(e) != 0 ? 1 : 0; }
  static int32_t I16(const PropertyEntry& e) { return static_cast<int16_t>(First16(e)); }

  // A subject that starts with a control character carries a marker and the
  // length of its prefix ("RE: ") ahead of the text.
  void SetSubject(const PropertyEntry& e) {
    ByteSpan b = e.data.bytes();
    if (b.empty()) return;
    auto s = std::make_unique<Subject>();
    if (!unicode_) {
      const auto first = static_cast<uint8_t>(b[0]);
      if (!IsControl(first)) {
        s->text = Blob::Of(b);
      } else {
        s->marker = first;
        s->prefixLength = b.size() > 1 ? static_cast<uint8_t>(b[1]) : 0;
        s->text = Blob::Of(b.subspan(std::min<size_t>(2, b.size())));
      }
    } else {
      ByteView v(b);
      const uint32_t first = v.U16(0).value_or(static_cast<uint8_t>(b[0]));
      if (!IsControl(first)) {
        s->text = WideToUtf8Blob(b);
      } else {
        s->marker = static_cast<int32_t>(first);
        s->prefixLength = v.U16(2).value_or(0);
        s->text = WideToUtf8Blob(b.subspan(std::min<size_t>(4, b.size())));
      }
    }
    D().subject = std::move(s);
  }

  ItemRecord& item_;
  bool unicode_;
};

// Case-insensitive comparison on at most the literal's length; a class that
// ends before a difference matches.
bool ClassMatches(std::string_view cls, std::string_view literal) {
  for (size_t i = 0; i < literal.size(); ++i) {
    if (i >= cls.size() || cls[i] == '\0') return true;
    if (std::tolower(static_cast<unsigned char>(cls[i])) !=
        std::tolower(static_cast<unsigned char>(literal[i]))) {
      return false;
    }
  }
  return true;
}

bool EqualsIgnoringCase(std::string_view cls, std::string_view literal) {
  const size_t end = cls.find('\0');
  if (end != std::string_view::npos) cls = cls.substr(0, end);
  if (cls.size() != literal.size()) return false;
  for (size_t i = 0; i < cls.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(cls[i])) !=
        std::tolower(static_cast<unsigned char>(literal[i]))) {
      return false;
    }
  }
  return true;
}

// Case-sensitive comparison on the literal's length of a NUL-terminated value.
bool ContainerMatches(ByteSpan cls, std::string_view literal) {
  for (size_t i = 0; i < literal.size(); ++i) {
    const char c = i < cls.size() ? static_cast<char>(cls[i]) : '\0';
    if (c != literal[i]) return false;
  }
  return true;
}

}  // namespace

int32_t ClassifyMessageClass(std::string_view cls) {
  if (ClassMatches(cls, "IPM.Note")) return kKindMail;
  if (EqualsIgnoringCase(cls, "IPM")) return kKindMail;
  if (ClassMatches(cls, "IPM.Contact")) return kKindContact;
  if (ClassMatches(cls, "REPORT.IPM.Note")) return kKindReport;
  if (ClassMatches(cls, "IPM.Activity")) return kKindJournal;
  if (ClassMatches(cls, "IPM.Appointment")) return kKindAppointment;
  return kKindOther;
}

int32_t ClassifyContainerClass(ByteSpan cls) {
  if (ContainerMatches(cls, "IPF.Note")) return kKindMail;
  if (ContainerMatches(cls, "IPF.Contact")) return kKindContact;
  if (ContainerMatches(cls, "IPF.Journal")) return kKindJournal;
  if (ContainerMatches(cls, "IPF.Appointment")) return kKindAppointment;
  if (ContainerMatches(cls, "IPF.StickyNote")) return kKindStickyNote;
  if (ContainerMatches(cls, "IPF.Task")) return kKindTask;
  return kKindOther;
}

namespace {

// The sub-records each property tag creates when its value was read, learnt
// from the decoder itself so that it can never disagree with it. One table
// per variant (a few tags are decoded in one variant only).
using TargetTable = std::array<uint8_t, 0x10000>;

TargetTable ProbeTargets(bool unicode) {
  TargetTable table{};
  PropertyEntry e;
  const std::byte value[8] = {std::byte{'x'}, std::byte{'x'}};
  e.data = Blob::Of(ByteSpan(value, sizeof value));
  e.size = sizeof value;
  ItemRecord probe;
  Decoder decoder(unicode, probe);
  for (uint32_t tag = 0; tag < table.size(); ++tag) {
    if (IsAttachmentProperty(tag)) continue;
    e.tag = tag;
    decoder.Property(e);
    uint8_t targets = 0;
    if (probe.details) targets |= kRecordDetails;
    if (probe.contact) targets |= kRecordContact;
    if (probe.folderCounts) targets |= kRecordFolderCounts;
    if (probe.storeInfo) targets |= kRecordStoreInfo;
    if (probe.appointment) targets |= kRecordAppointment;
    if (probe.journal) targets |= kRecordJournal;
    table[tag] = targets;
    if (targets) {
      probe.details.reset();
      probe.contact.reset();
      probe.folderCounts.reset();
      probe.storeInfo.reset();
      probe.appointment.reset();
      probe.journal.reset();
    }
  }
  return table;
}

void EnsureRecords(ItemRecord& item, uint8_t records) {
  if (records & kRecordDetails) Ensure(item.details);
  if (records & kRecordContact) Ensure(item.contact);
  if (records & kRecordFolderCounts) Ensure(item.folderCounts);
  if (records & kRecordStoreInfo) Ensure(item.storeInfo);
  if (records & kRecordAppointment) Ensure(item.appointment);
  if (records & kRecordJournal) Ensure(item.journal);
}

}  // namespace

uint8_t RecordsCreatedBy(uint32_t tag, bool unicode) {
  static const TargetTable ansi = ProbeTargets(false);
  static const TargetTable wide = ProbeTargets(true);
  if (tag >= ansi.size()) return 0;
  return unicode ? wide[tag] : ansi[tag];
}

bool ListingReads(uint32_t tag) {
  switch (tag) {
    case 0x001A: case 0x3613: case 0x3001:                        // class, kind, name
    case 0x3602: case 0x3603: case 0x3617: case 0x360A:           // folder counts
    case 0x0037: case 0x0042: case 0x0E04: case 0x0E06:           // subject, from, to, date
    case 0x1000: case 0x6619:                                     // a note's body
    case 0x0065: case 0x0C1F:                                     // a sender's address
    case 0x8005: case 0x3A15: case 0x3A1C:                        // a contact's cells
    case 0x3A06: case 0x3A11: case 0x801A: case 0x801B:           // and what they fall back to
    case 0x801C: case 0x8022:
    case 0x8208: case 0x8700: case 0x8712:                        // location, entry type
      return true;
    default:
      return false;
  }
}

namespace {

int Decode(ItemContext& ctx, const PropertySet& set, ItemRecord* item, bool attachmentsOnly) {
  if (!item) return -1;
  Decoder decoder(ctx, *item);
  AttachmentRecord* cursor = item->attachmentCursor;
  AttachmentRecord* const end = item->attachments.data() + item->attachments.size();
  bool advance = false;
  for (const PropertyRow& row : set.rows) {
    for (const PropertyEntry& e : row.entries) {
      try {
        if (!IsAttachmentProperty(e.tag)) {
          if (!attachmentsOnly) decoder.Property(e);
          continue;
        }
        if (!cursor) continue;
        if (advance) {
          if (cursor + 1 >= end) continue;
          ++cursor;
          advance = false;
        }
        decoder.Attachment(e, *cursor);
      } catch (const std::exception&) {
        // This property is skipped; the rest of the item is decoded.
      }
    }
    advance = true;
  }
  item->attachmentCursor = cursor;
  if (!attachmentsOnly) EnsureRecords(*item, set.skippedRecords);
  return 0;
}

}  // namespace

int DecodeProperties(ItemContext& ctx, const PropertySet& set, ItemRecord* item) {
  return Decode(ctx, set, item, false);
}

int DecodeAttachmentProperties(ItemContext& ctx, const PropertySet& set, ItemRecord* item) {
  return Decode(ctx, set, item, true);
}

}  // namespace velmorix::items
