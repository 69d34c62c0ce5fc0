// Every property of an item as text, with the names a properties view shows.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "content/item_reader.h"
#include "content/parts.h"
#include "format/vocabulary.h"
#include "items/text.h"

namespace velmorix::content {
namespace {

struct TagName {
  uint16_t id;
  const char* name;
};

constexpr TagName kTagNames[] = {
    {0x0002, "PidTagAlternateRecipientAllowed"}, {0x0017, "PidTagImportance"},
    {0x001A, "PidTagMessageClass"}, {0x0023, "PidTagOriginatorDeliveryReportRequested"},
    {0x0026, "PidTagPriority"}, {0x0029, "PidTagReadReceiptRequested"},
    {0x002B, "PidTagRecipientReassignmentProhibited"}, {0x002E, "PidTagOriginalSensitivity"},
    {0x0036, "PidTagSensitivity"}, {0x0037, "PidTagSubject"}, {0x0039, "PidTagClientSubmitTime"},
    {0x003B, "PidTagSentRepresentingSearchKey"}, {0x003D, "PidTagSubjectPrefix"},
    {0x003F, "PidTagReceivedByEntryId"}, {0x0040, "PidTagReceivedByName"},
    {0x0041, "PidTagSentRepresentingEntryId"}, {0x0042, "PidTagSentRepresentingName"},
    {0x0043, "PidTagReceivedRepresentingEntryId"}, {0x0044, "PidTagReceivedRepresentingName"},
    {0x004F, "PidTagReplyRecipientEntries"}, {0x0050, "PidTagReplyRecipientNames"},
    {0x0051, "PidTagReceivedBySearchKey"}, {0x0052, "PidTagReceivedRepresentingSearchKey"},
    {0x0057, "PidTagMessageToMe"}, {0x0058, "PidTagMessageCcMe"},
    {0x0059, "PidTagMessageRecipientMe"}, {0x0060, "PidTagStartDate"}, {0x0061, "PidTagEndDate"},
    {0x0063, "PidTagResponseRequested"}, {0x0064, "PidTagSentRepresentingAddressType"},
    {0x0065, "PidTagSentRepresentingEmailAddress"}, {0x0070, "PidTagConversationTopic"},
    {0x0071, "PidTagConversationIndex"}, {0x0075, "PidTagReceivedByAddressType"},
    {0x0076, "PidTagReceivedByEmailAddress"}, {0x0077, "PidTagReceivedRepresentingAddressType"},
    {0x0078, "PidTagReceivedRepresentingEmailAddress"}, {0x007D, "PidTagTransportMessageHeaders"},
    {0x0C15, "PidTagRecipientType"}, {0x0C17, "PidTagReplyRequested"},
    {0x0C19, "PidTagSenderEntryId"}, {0x0C1A, "PidTagSenderName"},
    {0x0C1D, "PidTagSenderSearchKey"}, {0x0C1E, "PidTagSenderAddressType"},
    {0x0C1F, "PidTagSenderEmailAddress"}, {0x0E01, "PidTagDeleteAfterSubmit"},
    {0x0E02, "PidTagDisplayBcc"}, {0x0E03, "PidTagDisplayCc"}, {0x0E04, "PidTagDisplayTo"},
    {0x0E05, "PidTagParentDisplay"}, {0x0E06, "PidTagMessageDeliveryTime"},
    {0x0E07, "PidTagMessageFlags"}, {0x0E08, "PidTagMessageSize"},
    {0x0E0F, "PidTagResponsibility"}, {0x0E17, "PidTagMessageStatus"},
    {0x0E1B, "PidTagHasAttachments"}, {0x0E1D, "PidTagNormalizedSubject"},
    {0x0E1F, "PidTagRtfInSync"}, {0x0E20, "PidTagAttachSize"}, {0x0E21, "PidTagAttachNumber"},
    {0x0E69, "PidTagRead"}, {0x0E79, "PidTagTrustSender"}, {0x0FF4, "PidTagAccess"},
    {0x0FF6, "PidTagInstanceKey"}, {0x0FF7, "PidTagAccessLevel"}, {0x0FF9, "PidTagRecordKey"},
    {0x0FFE, "PidTagObjectType"}, {0x0FFF, "PidTagEntryId"}, {0x1000, "PidTagBody"},
    {0x1006, "PidTagRtfSyncBodyCrc"}, {0x1007, "PidTagRtfSyncBodyCount"},
    {0x1008, "PidTagRtfSyncBodyTag"}, {0x1009, "PidTagRtfCompressed"},
    {0x1010, "PidTagRtfSyncPrefixCount"}, {0x1011, "PidTagRtfSyncTrailingCount"},
    {0x1013, "PidTagHtml"}, {0x1035, "PidTagInternetMessageId"},
    {0x1039, "PidTagInternetReferences"}, {0x1042, "PidTagInReplyToId"},
    {0x1046, "PidTagOriginalMessageId"}, {0x1080, "PidTagIconIndex"},
    {0x1081, "PidTagLastVerbExecuted"}, {0x1082, "PidTagLastVerbExecutionTime"},
    {0x1090, "PidTagFlagStatus"}, {0x1091, "PidTagFlagCompleteTime"},
    {0x1097, "PidTagItemTemporaryFlags"}, {0x10F4, "PidTagAttributeHidden"},
    {0x3001, "PidTagDisplayName"}, {0x3002, "PidTagAddressType"}, {0x3003, "PidTagEmailAddress"},
    {0x3004, "PidTagComment"}, {0x3007, "PidTagCreationTime"},
    {0x3008, "PidTagLastModificationTime"}, {0x300B, "PidTagSearchKey"},
    {0x3602, "PidTagContentCount"}, {0x3603, "PidTagContentUnreadCount"},
    {0x360A, "PidTagSubfolders"}, {0x3613, "PidTagContainerClass"},
    {0x3617, "PidTagAssociatedContentCount"}, {0x3701, "PidTagAttachDataBinary"},
    {0x3702, "PidTagAttachEncoding"}, {0x3703, "PidTagAttachExtension"},
    {0x3704, "PidTagAttachFilename"}, {0x3705, "PidTagAttachMethod"},
    {0x3707, "PidTagAttachLongFilename"}, {0x3708, "PidTagAttachPathname"},
    {0x3709, "PidTagAttachRendering"}, {0x370A, "PidTagAttachTag"},
    {0x370B, "PidTagRenderingPosition"}, {0x370D, "PidTagAttachLongPathname"},
    {0x370E, "PidTagAttachMimeTag"}, {0x3712, "PidTagAttachContentId"},
    {0x3713, "PidTagAttachContentLocation"}, {0x3714, "PidTagAttachFlags"},
    {0x3900, "PidTagDisplayType"}, {0x39FE, "PidTagSmtpAddress"},
    {0x39FF, "PidTagAddressBookDisplayNamePrintable"}, {0x3A00, "PidTagAccount"},
    {0x3A02, "PidTagCallbackTelephoneNumber"}, {0x3A05, "PidTagGeneration"},
    {0x3A06, "PidTagGivenName"}, {0x3A07, "PidTagGovernmentIdNumber"},
    {0x3A08, "PidTagBusinessTelephoneNumber"}, {0x3A09, "PidTagHomeTelephoneNumber"},
    {0x3A0A, "PidTagInitials"}, {0x3A0B, "PidTagKeyword"}, {0x3A0C, "PidTagLanguage"},
    {0x3A0D, "PidTagLocation"}, {0x3A0E, "PidTagMailPermission"},
    {0x3A0F, "PidTagMessageHandlingSystemCommonName"}, {0x3A10, "PidTagOrganizationalIdNumber"},
    {0x3A11, "PidTagSurname"}, {0x3A15, "PidTagPostalAddress"}, {0x3A16, "PidTagCompanyName"},
    {0x3A17, "PidTagTitle"}, {0x3A18, "PidTagDepartmentName"}, {0x3A19, "PidTagOfficeLocation"},
    {0x3A1A, "PidTagPrimaryTelephoneNumber"}, {0x3A1B, "PidTagBusiness2TelephoneNumber"},
    {0x3A1C, "PidTagMobileTelephoneNumber"}, {0x3A1D, "PidTagRadioTelephoneNumber"},
    {0x3A1E, "PidTagCarTelephoneNumber"}, {0x3A1F, "PidTagOtherTelephoneNumber"},
    {0x3A20, "PidTagTransmittableDisplayName"}, {0x3A21, "PidTagPagerTelephoneNumber"},
    {0x3A23, "PidTagPrimaryFaxNumber"}, {0x3A24, "PidTagBusinessFaxNumber"},
    {0x3A25, "PidTagHomeFaxNumber"}, {0x3A26, "PidTagCountry"}, {0x3A27, "PidTagLocality"},
    {0x3A28, "PidTagStateOrProvince"}, {0x3A29, "PidTagStreetAddress"},
    {0x3A2A, "PidTagPostalCode"}, {0x3A2B, "PidTagPostOfficeBox"}, {0x3A2C, "PidTagTelexNumber"},
    {0x3A2D, "PidTagIsdnNumber"}, {0x3A2E, "PidTagAssistantTelephoneNumber"},
    {0x3A2F, "PidTagHome2TelephoneNumber"}, {0x3A30, "PidTagAssistant"},
    {0x3A40, "PidTagSendRichInfo"}, {0x3A41, "PidTagWeddingAnniversary"},
    {0x3A42, "PidTagBirthday"}, {0x3A43, "PidTagHobbies"}, {0x3A44, "PidTagMiddleName"},
    {0x3A45, "PidTagDisplayNamePrefix"}, {0x3A46, "PidTagProfession"},
    {0x3A47, "PidTagReferredByName"}, {0x3A48, "PidTagSpouseName"},
    {0x3A49, "PidTagComputerNetworkName"}, {0x3A4A, "PidTagCustomerId"},
    {0x3A4B, "PidTagTelecommunicationsDeviceForDeafTelephoneNumber"}, {0x3A4C, "PidTagFtpSite"},
    {0x3A4D, "PidTagGender"}, {0x3A4E, "PidTagManagerName"}, {0x3A4F, "PidTagNickname"},
    {0x3A50, "PidTagPersonalHomePage"}, {0x3A51, "PidTagBusinessHomePage"},
    {0x3A57, "PidTagCompanyMainTelephoneNumber"}, {0x3A58, "PidTagChildrensNames"},
    {0x3A59, "PidTagHomeAddressCity"}, {0x3A5A, "PidTagHomeAddressCountry"},
    {0x3A5B, "PidTagHomeAddressPostalCode"}, {0x3A5C, "PidTagHomeAddressStateOrProvince"},
    {0x3A5D, "PidTagHomeAddressStreet"}, {0x3A5E, "PidTagHomeAddressPostOfficeBox"},
    {0x3A5F, "PidTagOtherAddressCity"}, {0x3A60, "PidTagOtherAddressCountry"},
    {0x3A61, "PidTagOtherAddressPostalCode"}, {0x3A62, "PidTagOtherAddressStateOrProvince"},
    {0x3A63, "PidTagOtherAddressStreet"}, {0x3A64, "PidTagOtherAddressPostOfficeBox"},
    {0x3FDE, "PidTagInternetCodepage"}, {0x3FF1, "PidTagMessageLocaleId"},
    {0x3FFA, "PidTagLastModifierName"}, {0x3FFD, "PidTagMessageCodepage"},
    {0x5D01, "PidTagSenderSmtpAddress"}, {0x5D02, "PidTagSentRepresentingSmtpAddress"},
    {0x5FF6, "PidTagRecipientDisplayName"}, {0x5FF7, "PidTagRecipientEntryId"},
    {0x5FFD, "PidTagRecipientFlags"}, {0x5FFF, "PidTagRecipientTrackStatus"},
    {0x65E2, "PidTagChangeKey"}, {0x65E3, "PidTagPredecessorChangeList"},
    {0x67F2, "PidTagLtpRowId"}, {0x67F3, "PidTagLtpRowVer"}, {0x7FFA, "PidTagAttachmentLinkId"},
    {0x7FFB, "PidTagExceptionStartTime"}, {0x7FFC, "PidTagExceptionEndTime"},
    {0x7FFD, "PidTagAttachmentFlags"}, {0x7FFE, "PidTagAttachmentHidden"},
    {0x7FFF, "PidTagAttachmentContactPhoto"}};

struct LidName {
  uint32_t lid;
  const char* name;
};

constexpr LidName kLidNames[] = {
    {0x8005, "PidLidFileUnder"}, {0x8006, "PidLidFileUnderId"}, {0x801A, "PidLidHomeAddress"},
    {0x801B, "PidLidWorkAddress"}, {0x801C, "PidLidOtherAddress"},
    {0x8045, "PidLidWorkAddressStreet"}, {0x8046, "PidLidWorkAddressCity"},
    {0x8047, "PidLidWorkAddressState"}, {0x8048, "PidLidWorkAddressPostalCode"},
    {0x8049, "PidLidWorkAddressCountry"}, {0x804A, "PidLidWorkAddressPostOfficeBox"},
    {0x8053, "PidLidDistributionListName"}, {0x8054, "PidLidDistributionListOneOffMembers"},
    {0x8055, "PidLidDistributionListMembers"}, {0x8062, "PidLidInstantMessagingAddress"},
    {0x8080, "PidLidEmail1DisplayName"}, {0x8082, "PidLidEmail1AddressType"},
    {0x8083, "PidLidEmail1EmailAddress"}, {0x8084, "PidLidEmail1OriginalDisplayName"},
    {0x8085, "PidLidEmail1OriginalEntryId"}, {0x8090, "PidLidEmail2DisplayName"},
    {0x8092, "PidLidEmail2AddressType"}, {0x8093, "PidLidEmail2EmailAddress"},
    {0x8094, "PidLidEmail2OriginalDisplayName"}, {0x80A0, "PidLidEmail3DisplayName"},
    {0x80A2, "PidLidEmail3AddressType"}, {0x80A3, "PidLidEmail3EmailAddress"},
    {0x80A4, "PidLidEmail3OriginalDisplayName"}, {0x80D8, "PidLidFreeBusyLocation"},
    {0x8101, "PidLidTaskStatus"}, {0x8102, "PidLidPercentComplete"},
    {0x8104, "PidLidTaskStartDate"}, {0x8105, "PidLidTaskDueDate"},
    {0x810F, "PidLidTaskDateCompleted"}, {0x8110, "PidLidTaskEstimatedEffort"},
    {0x8111, "PidLidTaskActualEffort"}, {0x811C, "PidLidTaskComplete"},
    {0x811F, "PidLidTaskOwner"}, {0x8126, "PidLidTaskFRecurring"},
    {0x8205, "PidLidBusyStatus"}, {0x8208, "PidLidLocation"},
    {0x820D, "PidLidAppointmentStartWhole"}, {0x820E, "PidLidAppointmentEndWhole"},
    {0x8213, "PidLidAppointmentDuration"}, {0x8214, "PidLidAppointmentColor"},
    {0x8215, "PidLidAppointmentSubType"}, {0x8216, "PidLidAppointmentRecur"},
    {0x8217, "PidLidAppointmentStateFlags"}, {0x8223, "PidLidRecurring"},
    {0x8231, "PidLidRecurrenceType"}, {0x8232, "PidLidRecurrencePattern"},
    {0x8234, "PidLidTimeZoneDescription"}, {0x8235, "PidLidClipStart"},
    {0x8236, "PidLidClipEnd"}, {0x8501, "PidLidReminderDelta"}, {0x8502, "PidLidReminderTime"},
    {0x8503, "PidLidReminderSet"}, {0x8506, "PidLidPrivate"}, {0x8510, "PidLidSideEffects"},
    {0x8516, "PidLidCommonStart"}, {0x8517, "PidLidCommonEnd"}, {0x8530, "PidLidFlagRequest"},
    {0x8534, "PidLidMileage"}, {0x8535, "PidLidBilling"}, {0x853A, "PidLidContacts"},
    {0x8554, "PidLidCurrentVersionName"}, {0x8560, "PidLidReminderSignalTime"},
    {0x8700, "PidLidLogType"}, {0x8706, "PidLidLogStart"}, {0x8707, "PidLidLogDuration"},
    {0x8708, "PidLidLogEnd"}, {0x870C, "PidLidLogFlags"}, {0x8712, "PidLidLogTypeDesc"},
    {0x8B00, "PidLidNoteColor"}, {0x8B02, "PidLidNoteWidth"}, {0x8B03, "PidLidNoteHeight"},
    {0x8B04, "PidLidNoteX"}, {0x8B05, "PidLidNoteY"}};

std::string Hex(uint64_t v, int digits) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*" PRIX64, digits, v);
  return buf;
}

// Bytes as hex pairs, at most `max` of them.
std::string HexBytes(ByteSpan b, size_t max) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  const size_t n = std::min(b.size(), max);
  out.reserve(n * 3);
  for (size_t i = 0; i < n; ++i) {
    if (i) out += ' ';
    const auto c = static_cast<uint8_t>(b[i]);
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
  }
  return out;
}

std::string Guid(ByteSpan b) {
  if (b.size() < 16) return HexBytes(b, 16);
  ByteView v(b);
  char buf[48];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", *v.U32(0), *v.U16(4),
                *v.U16(6), *v.U8(8), *v.U8(9), *v.U8(10), *v.U8(11), *v.U8(12), *v.U8(13), *v.U8(14),
                *v.U8(15));
  return buf;
}

// Cuts UTF-8 text at a character boundary within `max` bytes.
bool Cut(std::string& s, size_t max) {
  if (s.size() <= max) return false;
  size_t at = max;
  while (at > 0 && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80) --at;
  s.resize(at);
  return true;
}

void Format(const PartContext& c, const ltp::Value& v, size_t shown, Property& p) {
  using namespace ltp;
  ValueState state = ValueState::Ok;
  // Fixed values never fail; variable ones are read up to a bound, so a
  // huge value is measured rather than loaded.
  std::optional<ByteSpan> bytes = v.Bytes(std::max<uint64_t>(shown, 1 << 20), &state);
  if (!bytes) {
    p.unreadable = state != ValueState::TooLarge;
    p.truncated = state == ValueState::TooLarge;
    if (const store::SubnodeEntry* e = v.source->Subnode(v.word)) {
      if (auto size = store::DataSize(v.source->store(), e->dataBlock->bid)) p.size = *size;
    }
    p.value = p.unreadable ? "(cannot be read)" : std::string("(").append(std::to_string(p.size)).append(" bytes)");
    return;
  }
  p.size = v.byReference ? bytes->size() : 0;
  switch (v.type) {
    case format::kPtypInteger16: case format::kPtypInteger32: case format::kPtypInteger64:
      p.value = std::to_string(v.Int().value_or(0));
      return;
    case format::kPtypBoolean:
      p.value = v.Bool().value_or(false) ? "true" : "false";
      return;
    case format::kPtypErrorCode:
      p.value = "error " + Hex(static_cast<uint32_t>(v.Int().value_or(0)), 8);
      return;
    case format::kPtypFloating32: case format::kPtypFloating64: case format::kPtypFloatingTime: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%g", v.Double().value_or(0));
      p.value = buf;
      return;
    }
    case format::kPtypCurrency: {
      const int64_t units = v.Int().value_or(0);
      char buf[48];
      std::snprintf(buf, sizeof buf, "%s%" PRId64 ".%04" PRId64, units < 0 ? "-" : "",
                    (units < 0 ? -(units / 10000) : units / 10000), (units < 0 ? -(units % 10000) : units % 10000));
      p.value = buf;
      return;
    }
    case format::kPtypTime: {
      const uint64_t t = v.Time().value_or(0);
      p.value = FormatFileTime(t);
      if (p.value.empty()) p.value = Hex(t, 16);
      return;
    }
    case format::kPtypString8: case format::kPtypString: {
      // Only the start that can be shown is converted: a long body is not
      // converted a second time for its row.
      const bool wide = v.type == format::kPtypString;
      ByteSpan head = bytes->first(std::min(bytes->size(), wide ? 2 * (shown + 1) : shown + 4));
      if (wide) {
        head = head.first(head.size() & ~size_t{1});
        // A character cut in half at the end is left out.
        const size_t n = head.size();
        if (n >= 2 && (static_cast<uint8_t>(head[n - 1]) & 0xFC) == 0xD8) head = head.first(n - 2);
        p.value = items::WideToUtf8(head);
      } else {
        p.value = c.decoder.ToUtf8(head, c.codePage);
      }
      p.truncated = Cut(p.value, shown) || head.size() < bytes->size();
      return;
    }
    case format::kPtypGuid:
      p.value = Guid(*bytes);
      return;
    case format::kPtypString8 | format::kPtypMultipleFlag: case format::kPtypString | format::kPtypMultipleFlag: {
      const auto texts = v.Texts(c.decoder, c.codePage);
      for (size_t i = 0; i < texts.size(); ++i) p.value += (i ? "; " : "") + texts[i];
      p.truncated = Cut(p.value, shown);
      return;
    }
    case format::kPtypObject: {
      const uint32_t nid = ByteView(*bytes).U32(0).value_or(0);
      p.value = "object in subnode " + Hex(nid, 1);
      return;
    }
    default:
      p.value = HexBytes(*bytes, shown / 3);
      p.truncated = bytes->size() > shown / 3;
      return;
  }
}

}  // namespace

const char* PropertyTagName(uint16_t id) {
  auto it = std::lower_bound(std::begin(kTagNames), std::end(kTagNames), id,
                             [](const TagName& t, uint16_t v) { return t.id < v; });
  return it != std::end(kTagNames) && it->id == id ? it->name : nullptr;
}

const char* PropertyLidName(uint32_t lid) {
  auto it = std::lower_bound(std::begin(kLidNames), std::end(kLidNames), lid,
                             [](const LidName& t, uint32_t v) { return t.lid < v; });
  return it != std::end(kLidNames) && it->lid == lid ? it->name : nullptr;
}

const char* PropertyTypeName(uint16_t type) {
  switch (type) {
    case 0x0001: return "PtypNull";
    case 0x0002: return "PtypInteger16";
    case 0x0003: return "PtypInteger32";
    case 0x0004: return "PtypFloating32";
    case 0x0005: return "PtypFloating64";
    case 0x0006: return "PtypCurrency";
    case 0x0007: return "PtypFloatingTime";
    case 0x000A: return "PtypErrorCode";
    case 0x000B: return "PtypBoolean";
    case 0x000D: return "PtypObject";
    case 0x0014: return "PtypInteger64";
    case 0x001E: return "PtypString8";
    case 0x001F: return "PtypString";
    case 0x0040: return "PtypTime";
    case 0x0048: return "PtypGuid";
    case 0x0102: return "PtypBinary";
    case 0x1002: return "PtypMultipleInteger16";
    case 0x1003: return "PtypMultipleInteger32";
    case 0x1005: return "PtypMultipleFloating64";
    case 0x1014: return "PtypMultipleInteger64";
    case 0x101E: return "PtypMultipleString8";
    case 0x101F: return "PtypMultipleString";
    case 0x1040: return "PtypMultipleTime";
    case 0x1048: return "PtypMultipleGuid";
    case 0x1102: return "PtypMultipleBinary";
    default: return nullptr;
  }
}

void ReadPropertiesView(const PartContext& c, const ReadOptions& options, Item& item) {
  const auto& props = c.pc.properties();
  item.properties.reserve(props.size());
  for (const auto& raw : props) {
    Property p;
    p.id = raw.id;
    p.type = raw.type;
    p.lid = raw.lid;
    if (raw.stringName) {
      p.name = raw.stringName->str();
    } else if (raw.lid != 0) {
      const char* n = PropertyLidName(raw.lid);
      p.name = n ? n : Hex(raw.lid, 4);
    } else if (const char* n = PropertyTagName(raw.id)) {
      p.name = n;
    }
    const char* t = PropertyTypeName(raw.type);
    p.typeName = t ? t : Hex(raw.type, 4);
    Format(c, c.pc.ValueOf(raw), std::max<size_t>(options.propertyBytesShown, 16), p);
    item.properties.push_back(std::move(p));
  }
}

}  // namespace velmorix::content
