// One item read in full: plain values owned by the caller. Texts are UTF-8
// whatever the store's variant; times are FILETIMEs as stored.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmorix::content {

// 100-nanosecond intervals since 1601-01-01 UTC.
using FileTime = uint64_t;

// "2007-04-29 22:27:33 UTC"; empty for a time that is out of range.
std::string FormatFileTime(FileTime t);
// Seconds since 1970-01-01 UTC.
int64_t UnixSeconds(FileTime t);

enum class ItemKind : uint8_t {
  Mail,
  Report,
  MeetingRequest,
  Appointment,
  Contact,
  DistributionList,
  Task,
  StickyNote,
  Journal,
  Other,
};

// The kind a message class names ("IPM.Note.SMIME" is a mail).
ItemKind KindOfClass(std::string_view messageClass);

// A sender or recipient as the item names them.
struct Address {
  std::string name;
  std::string addressType;  // "SMTP", "EX", ...
  std::string address;      // in the form of its type
  std::string smtpAddress;  // the SMTP address, when the item keeps one
};

enum class RecipientType : int32_t { Originator = 0, To = 1, Cc = 2, Bcc = 3 };

struct Recipient : Address {
  RecipientType type = RecipientType::To;
  int32_t rawType = 1;  // as stored, flags included
};

// Where a body came from.
enum class BodySource : uint8_t { None, Stored, FromRtf, FromHtml };

struct Body {
  BodySource source = BodySource::None;
  std::string text;      // UTF-8 for plain text and HTML; the RTF bytes as stored
  bool damaged = false;  // only part of it could be read, or it fails a check
  std::string problem;
  bool present() const { return source != BodySource::None; }
};

struct Bodies {
  Body plain;  // stored, or derived from the HTML or the RTF
  Body html;   // stored, or recovered from RTF that encapsulates HTML
  Body rtf;    // the decompressed RTF
};

// Attachment methods.
inline constexpr int32_t kAttachByValue = 1;
inline constexpr int32_t kAttachEmbeddedMessage = 5;
inline constexpr int32_t kAttachOle = 6;

// Where an attachment's bytes or embedded message lie; filled by the item
// reader, which takes the attachment back to read them.
struct AttachmentSource {
  enum class Kind : uint8_t { None, Inline, Blocks, Message };
  Kind kind = Kind::None;
  std::string inlineBytes;  // Inline: the bytes themselves (small values)
  uint32_t bid = 0;         // Blocks: the data; Message: the message's data block
  uint32_t subnodeBid = 0;  // Message: its subnode block, 0 when none
  uint32_t containerSubnodeBid = 0;  // Message: the attachment's subnode block
  uint32_t nid = 0;         // Message: its subnode NID
  int depth = 0;            // Message: its depth of nesting
  std::vector<uint32_t> enclosing;  // Message: data BIDs of the messages it lies in
};

// A property as stored, for a faithful copy: fixed-size values
// little-endian, variable ones as stored, except that 8-bit strings are
// given as Unicode strings (UTF-16LE, types 0x001F and 0x101F). A named
// property carries its property set and name.
struct RawProperty {
  uint16_t id = 0;
  uint16_t type = 0;
  bool named = false;               // its id (0x8000 and up) is mapped by the store's names
  std::array<uint8_t, 16> guid{};   // the property set of a named property
  uint32_t lid = 0;                 // a numeric name
  bool stringNamed = false;
  std::string name;                 // a string name, UTF-8
  std::string value;
};

struct Attachment {
  size_t index = 0;        // position in the item's attachment list
  int32_t method = kAttachByValue;  // 0x3705
  std::string fileName;    // the long name, else the short name, else the display name
  std::string longFileName;   // 0x3707
  std::string shortFileName;  // 0x3704
  std::string displayName;    // 0x3001
  std::string extension;      // 0x3703
  std::string mimeType;       // 0x370E
  std::string contentId;      // 0x3712
  std::string contentLocation;  // 0x3713
  uint32_t flags = 0;         // 0x3714: 4 = shown in the body
  bool hidden = false;        // 0x7FFE
  int32_t renderingPosition = -1;  // 0x370B
  uint64_t size = 0;          // bytes of the data; the stored size (0x0E20) when unmeasured
  uint64_t storedSize = 0;    // 0x0E20
  std::optional<FileTime> creationTime, modificationTime;
  bool readable = false;      // the bytes (or the embedded message) can be read
  bool damaged = false;       // not readable because of damage (not a link or an empty slot)
  std::string problem;        // why not, for the user
  AttachmentSource source;
  // With ReadOptions::raw: every property but the data (0x3701), which
  // ReadAttachment streams and ReadEmbedded reads.
  std::vector<RawProperty> raw;

  bool isEmbeddedMessage() const { return source.kind == AttachmentSource::Kind::Message; }
  // Rendered inside the body (an inline image named by its content id).
  bool isInline() const { return (flags & 4) != 0 || !contentId.empty(); }
};

// One property of the item's property context, for a properties view.
struct Property {
  uint16_t id = 0;        // as stored; 0x8000 and up are named properties
  uint16_t type = 0;      // the stored type
  uint32_t lid = 0;       // numeric name of a named property
  std::string name;       // "PidTagSubject", a named property's name, or empty
  std::string typeName;   // "PtypString"
  std::string value;      // the value as text
  uint64_t size = 0;      // bytes stored
  bool truncated = false;   // `value` shows only the start of the value
  bool unreadable = false;  // the value could not be read
};

struct EmailAddress {
  std::string displayName;
  std::string addressType;
  std::string address;
  bool operator==(const EmailAddress&) const = default;
};

struct LabeledText {
  std::string label;  // "business", "home", "mobile", ...
  std::string value;
  bool operator==(const LabeledText&) const = default;
};

struct PostalAddress {
  std::string label;  // "work", "home", "other"
  std::string street, city, state, postalCode, country, poBox;
  std::string full;  // the address as one text, as the item keeps it
  bool operator==(const PostalAddress&) const = default;
};

struct ContactFields {
  std::string displayName, prefix, givenName, middleName, surname, suffix, nickname, initials;
  std::string fileUnder;
  std::string company, department, jobTitle, profession, officeLocation, manager, assistant, spouse;
  std::optional<FileTime> birthday, anniversary;
  std::vector<EmailAddress> emails;
  std::vector<LabeledText> phones;
  std::vector<PostalAddress> addresses;
  std::string businessHomePage, personalHomePage, imAddress;
  std::vector<EmailAddress> members;  // a distribution list's, as its entry IDs name them
};

// A recurrence pattern as stored (PidLidAppointmentRecur / task recurrence).
struct Recurrence {
  uint16_t frequency = 0;    // 0x200A daily, 0x200B weekly, 0x200C monthly, 0x200D yearly
  uint16_t patternType = 0;  // 0 day, 1 week, 2 month, 3 nth weekday of month, 4 month end, ...
  uint16_t calendarType = 0;
  uint32_t firstDateTime = 0;
  uint32_t period = 0;       // days, weeks or months between occurrences
  uint32_t dayMask = 0;      // weekly and nth patterns: bit 0 Sunday ... bit 6 Saturday
  uint32_t dayOfMonth = 0;   // monthly patterns
  uint32_t nth = 0;          // nth patterns: 1-4, 5 = last
  uint32_t endType = 0;      // 0x2021 ends on a date, 0x2022 after a count, 0x2023 never
  uint32_t occurrences = 0;
  uint32_t firstDayOfWeek = 0;
  uint32_t startDate = 0;    // minutes since 1601-01-01
  uint32_t endDate = 0;
  std::vector<uint32_t> deletedDates;   // minutes since 1601-01-01
  std::vector<uint32_t> modifiedDates;
  std::optional<uint32_t> startTimeOffset;  // appointments: minutes after midnight
  std::optional<uint32_t> endTimeOffset;
  // A modified instance of an appointment; times in local minutes since 1601.
  struct Exception {
    uint32_t start = 0, end = 0, originalStart = 0;
    std::optional<std::string> subject, location;  // UTF-8, when changed
  };
  std::vector<Exception> exceptions;
};

struct AppointmentFields {
  std::optional<FileTime> start, end;
  bool allDay = false;
  std::string location;
  int32_t busyStatus = 0;  // 0 free, 1 tentative, 2 busy, 3 away
  int32_t durationMinutes = 0;
  bool recurring = false;
  std::string recurrenceText;  // the pattern as the client describes it
  std::optional<Recurrence> recurrence;
  std::string timeZone;
  bool reminderSet = false;
  int32_t reminderMinutesBefore = 0;
  int32_t meetingFlags = 0;  // PidLidAppointmentStateFlags
  std::string globalObjectId;  // PidLidGlobalObjectId in uppercase hex, or empty
};

struct TaskFields {
  std::optional<FileTime> start, due, completed;
  int32_t status = 0;  // 0 not started, 1 in progress, 2 complete, 3 waiting, 4 deferred
  double percentComplete = 0;
  bool complete = false;
  std::string owner;
  int32_t estimatedMinutes = 0;
  int32_t actualMinutes = 0;
  bool recurring = false;
};

struct NoteFields {
  int32_t color = 0;  // 0 blue, 1 green, 2 pink, 3 yellow, 4 white
  int32_t width = 0, height = 0, left = 0, top = 0;
};

struct JournalFields {
  std::string type;             // "Phone call"
  std::string typeDescription;  // as shown
  std::optional<FileTime> start, end;
  int32_t durationMinutes = 0;
};

struct Item {
  uint32_t nodeId = 0;  // the item's node, or an embedded message's subnode
  int depth = 0;        // 0 for an item of a folder, 1 for a message attached to it, ...
  ItemKind kind = ItemKind::Other;
  std::string messageClass;
  std::string subject;  // without the stored prefix marker
  std::string conversationTopic;
  Address sender;             // 0x0C1A and the sender's address
  Address sentRepresenting;   // 0x0042 and its address (the "From" of a delegate)
  std::string displayTo, displayCc, displayBcc;
  std::optional<FileTime> sentTime;      // 0x0039
  std::optional<FileTime> receivedTime;  // 0x0E06
  std::optional<FileTime> creationTime, modificationTime;
  int32_t importance = 1;  // 0 low, 1 normal, 2 high
  int32_t sensitivity = 0;
  int32_t priority = 0;
  uint32_t flags = 0;      // 0x0E07
  uint32_t size = 0;       // 0x0E08
  std::string internetMessageId, inReplyTo, references;
  std::string transportHeaders;
  std::vector<std::string> categories;
  int codePage = 0;  // the code page the item's 8-bit texts were read with

  std::vector<Recipient> recipients;
  Bodies bodies;
  std::vector<Attachment> attachments;

  std::optional<ContactFields> contact;
  std::optional<AppointmentFields> appointment;
  std::optional<TaskFields> task;
  std::optional<NoteFields> note;
  std::optional<JournalFields> journal;

  std::vector<Property> properties;  // when asked for
  // With ReadOptions::raw: every property of the item, and of each recipient row.
  std::vector<RawProperty> raw;
  std::vector<std::vector<RawProperty>> rawRecipients;
  std::vector<std::string> problems;  // damage met while reading, for the user
};

}  // namespace velmorix::content
