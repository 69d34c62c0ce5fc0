#include "export/eml.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "export/icalendar.h"
#include "export/strict_headers.h"

namespace velmorix::exporting {
namespace {

using content::Attachment;
using content::Item;

// Headers a kept header block may not carry over: they describe the parts
// the item had when it was sent, not the parts written now.
bool IsPartHeader(std::string_view name) {
  auto startsNoCase = [&](std::string_view prefix) {
    if (name.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(name[i])) != prefix[i]) return false;
    }
    return true;
  };
  return startsNoCase("content-") || (startsNoCase("mime-version") && name.size() == 12);
}

bool HasNonAscii(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// Text for a header: no line breaks or NULs of its own.
std::string HeaderText(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '\0') continue;
    out += (c == '\r' || c == '\n' || c == '\t') ? ' ' : c;
  }
  return out;
}

// A message id without its angle brackets, or empty when it holds no id.
std::string BareId(std::string_view id) {
  std::string s = HeaderText(id);
  const size_t first = s.find_first_not_of(" <");
  const size_t last = s.find_last_not_of(" >");
  if (first == std::string::npos || last == std::string::npos || last < first) return {};
  s = s.substr(first, last - first + 1);
  if (s.find_first_of(" <>") != std::string::npos) return {};
  return s;
}

bool LooksLikeEmail(std::string_view a) {
  const size_t at = a.find('@');
  return at != std::string_view::npos && at > 0 && at + 1 < a.size() &&
         a.find_first_of(" <>\"(),;:\\[]") == std::string_view::npos && !HasNonAscii(a.substr(at + 1));
}

// An address written as a text ("'ann@example.com'", "<ann@example.com>"):
// the address without its quotes or brackets.
std::string_view Unquoted(std::string_view a) {
  while (!a.empty() && (a.front() == ' ' || a.front() == '\'' || a.front() == '"' || a.front() == '<')) {
    a.remove_prefix(1);
  }
  while (!a.empty() && (a.back() == ' ' || a.back() == '\'' || a.back() == '"' || a.back() == '>')) {
    a.remove_suffix(1);
  }
  return a;
}

std::string EmailOf(const content::Address& a) {
  if (LooksLikeEmail(a.smtpAddress)) return HeaderText(a.smtpAddress);
  if (LooksLikeEmail(a.address)) return HeaderText(a.address);
  // No Internet address of its type, but one written where the address or
  // the name goes.
  if (LooksLikeEmail(Unquoted(a.address))) return HeaderText(Unquoted(a.address));
  if (LooksLikeEmail(Unquoted(a.name))) return HeaderText(Unquoted(a.name));
  return {};
}

// A mailbox for an address header; an address without an Internet address
// (an Exchange one, or a name alone) keeps its name as a group with no
// members, the form RFC 5322 has for a name that has no address.
InternetAddress* NewAddress(const content::Address& a) {
  std::string name = HeaderText(a.name);
  const std::string email = EmailOf(a);
  // A name that is only the address itself says nothing more.
  if (Unquoted(name) == email) name.clear();
  if (!email.empty()) return internet_address_mailbox_new(name.empty() ? nullptr : name.c_str(), email.c_str());
  if (name.empty()) name = HeaderText(a.address);
  if (name.empty()) return nullptr;
  return internet_address_group_new(name.c_str());
}

void AddAddress(GMimeMessage* message, GMimeAddressType type, const content::Address& a) {
  if (InternetAddress* ia = NewAddress(a)) {
    internet_address_list_add(g_mime_message_get_addresses(message, type), ia);
    g_object_unref(ia);
  }
}

// The names of a display list ("Ann; Bob") as addresses without mail
// addresses, for items whose recipient table is gone.
void AddDisplayNames(GMimeMessage* message, GMimeAddressType type, std::string_view list) {
  while (!list.empty()) {
    const size_t semi = list.find(';');
    std::string_view name = list.substr(0, semi);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (!name.empty()) AddAddress(message, type, content::Address{std::string(name), {}, {}, {}});
    if (semi == std::string_view::npos) break;
    list.remove_prefix(semi + 1);
  }
}

mime::DateTime DateOf(content::FileTime t) {
  const int64_t secs = content::UnixSeconds(t);
  // GLib takes years 1 to 9999.
  if (secs < -62135596800LL || secs > 253402300799LL) return nullptr;
  return mime::DateTime(g_date_time_new_from_unix_utc(secs));
}

void SetHeader(GMimeObject* object, const char* name, std::string_view value) {
  const std::string v = HeaderText(value);
  if (!v.empty()) g_mime_object_set_header(object, name, v.c_str(), "utf-8");
}

// Whether the message carries the header with some text; an empty one is
// removed, to be made again from the properties.
bool HasHeader(GMimeMessage* message, const char* name) {
  GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message));
  GMimeHeader* h = g_mime_header_list_get_header(list, name);
  if (!h) return false;
  const char* raw = g_mime_header_get_raw_value(h);
  if (raw && std::string_view(raw).find_first_not_of(" \t\r\n") != std::string_view::npos) return true;
  g_mime_header_list_remove(list, name);
  return false;
}

// Headers made from the item's properties; with `onlyMissing`, only those
// the message does not carry yet.
void HeadersFromProperties(GMimeMessage* message, const Item& item, bool onlyMissing) {
  auto want = [&](const char* name) { return !onlyMissing || !HasHeader(message, name); };
  const content::Address& from = FromAddress(item);
  if (want("From")) AddAddress(message, GMIME_ADDRESS_TYPE_FROM, from);
  if (!onlyMissing && &from != &item.sender && !EmailOf(item.sender).empty() &&
      EmailOf(item.sender) != EmailOf(from)) {
    AddAddress(message, GMIME_ADDRESS_TYPE_SENDER, item.sender);
  }
  const bool wantTo = want("To"), wantCc = want("Cc"), wantBcc = want("Bcc");
  bool listed[4] = {};
  for (const auto& r : item.recipients) {
    GMimeAddressType type;
    switch (r.type) {
      case content::RecipientType::To: if (!wantTo) continue; type = GMIME_ADDRESS_TYPE_TO; break;
      case content::RecipientType::Cc: if (!wantCc) continue; type = GMIME_ADDRESS_TYPE_CC; break;
      case content::RecipientType::Bcc: if (!wantBcc) continue; type = GMIME_ADDRESS_TYPE_BCC; break;
      default: continue;
    }
    listed[static_cast<int>(r.type)] = true;
    AddAddress(message, type, r);
  }
  if (wantTo && !listed[1]) AddDisplayNames(message, GMIME_ADDRESS_TYPE_TO, item.displayTo);
  if (wantCc && !listed[2]) AddDisplayNames(message, GMIME_ADDRESS_TYPE_CC, item.displayCc);
  if (wantBcc && !listed[3]) AddDisplayNames(message, GMIME_ADDRESS_TYPE_BCC, item.displayBcc);

  if (want("Subject")) SetSubjectExactly(message, HeaderText(item.subject));
  if (want("Date")) {
    if (auto t = MessageTime(item)) {
      if (auto date = DateOf(*t)) g_mime_message_set_date(message, date.get());
    }
  }
  if (want("Message-ID")) {
    // An id out of its syntax (Outlook wrote some with two "@") is kept
    // beside, where readers do not parse it.
    if (const std::string id = BareId(item.internetMessageId); !id.empty() && IsMessageId("<" + id + ">")) {
      g_mime_message_set_message_id(message, id.c_str());
    } else if (!id.empty() && !HasHeader(message, "X-Original-Message-ID")) {
      g_mime_object_set_header(GMIME_OBJECT(message), "X-Original-Message-ID", ("<" + id + ">").c_str(), nullptr);
    }
  }
  if (want("In-Reply-To")) SetHeader(GMIME_OBJECT(message), "In-Reply-To", item.inReplyTo);
  if (want("References")) SetHeader(GMIME_OBJECT(message), "References", item.references);
  static constexpr const char* kImportance[] = {"Low", "Normal", "High"};
  if (want("Importance") && item.importance >= 0 && item.importance <= 2) {
    g_mime_object_set_header(GMIME_OBJECT(message), "Importance", kImportance[item.importance], nullptr);
  }
}

// The item's kept header block as a message without its part headers; null
// when it holds no header GMime can read.
mime::Ref<GMimeMessage> MessageFromTransportHeaders(std::string_view headers) {
  std::string block(headers);
  // Line ends as one kind, and the block ended by an empty line.
  block.erase(std::remove(block.begin(), block.end(), '\0'), block.end());
  while (!block.empty() && (block.back() == '\n' || block.back() == '\r' || block.back() == ' ')) block.pop_back();
  if (block.empty()) return nullptr;
  block += "\n\n";
  mime::Ref<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(block.data(), block.size()));
  mime::Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  mime::Ref<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
  if (!message) return nullptr;
  GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message.get()));
  int kept = 0;
  for (int i = g_mime_header_list_get_count(list) - 1; i >= 0; --i) {
    GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
    const char* name = g_mime_header_get_name(h);
    if (!name || IsPartHeader(name)) {
      g_mime_header_list_remove_at(list, i);
      continue;
    }
    ++kept;
    // 8-bit text in a header becomes RFC 2047 words.
    const char* raw = g_mime_header_get_raw_value(h);
    if (raw && HasNonAscii(raw)) {
      const char* value = g_mime_header_get_value(h);
      const std::string text = HeaderText(value ? value : raw);
      g_mime_header_set_value(h, nullptr, text.c_str(), "utf-8");
    }
  }
  if (kept == 0) return nullptr;
  return message;
}

// ---------------------------------------------------------------- parts

std::string WithoutNul(std::string_view text) {
  std::string s(text);
  s.erase(std::remove(s.begin(), s.end(), '\0'), s.end());
  return s;
}

// A text part whose content is `text` (UTF-8).
mime::Ref<GMimeObject> TextPart(const char* subtype, std::string_view text) {
  const std::string clean = WithoutNul(text);
  mime::Ref<GMimeTextPart> part(g_mime_text_part_new_with_subtype(subtype));
  mime::Ref<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(clean.data(), clean.size()));
  mime::Ref<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(GMIME_PART(part.get()), wrapper.get());
  bool ascii = !HasNonAscii(clean);
  g_mime_text_part_set_charset(part.get(), ascii ? "us-ascii" : "utf-8");
  return mime::Ref<GMimeObject>(GMIME_OBJECT(part.release()));
}

// "type/subtype" when `mimeType` is one, lowercase; else empty.
std::string CleanMimeType(std::string_view mimeType) {
  std::string s;
  for (char c : mimeType) {
    if (c == ';') break;
    if (c == ' ' || c == '\t') continue;
    s += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const size_t slash = s.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == s.size() || s.find('/', slash + 1) != std::string::npos) {
    return {};
  }
  for (char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("/!#$&^_.+-", c)) return {};
  }
  return s;
}

std::string TypeFromExtension(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string ext(name.substr(dot + 1));
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static constexpr std::pair<const char*, const char*> kTypes[] = {
      {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"}, {"png", "image/png"}, {"gif", "image/gif"},
      {"bmp", "image/bmp"}, {"tif", "image/tiff"}, {"tiff", "image/tiff"}, {"svg", "image/svg+xml"},
      {"txt", "text/plain"}, {"htm", "text/html"}, {"html", "text/html"}, {"csv", "text/csv"},
      {"rtf", "application/rtf"}, {"pdf", "application/pdf"}, {"zip", "application/zip"},
      {"doc", "application/msword"}, {"xls", "application/vnd.ms-excel"},
      {"ppt", "application/vnd.ms-powerpoint"},
      {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
{"ics", "text/calendar"}, {"vcf", "text/vcard"}, {"xml", "application/xml"},
      {"mp3", "audio/mpeg"}, {"wav", "audio/wav"}, {"mp4", "video/mp4"}};
  for (const auto& [e, t] : kTypes) {
    if (ext == e) return t;
  }
  return {};
}

// Names from a file may hold anything: no control characters in a parameter.
std::string ParameterText(std::string_view s) {
  std::string out;
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    out += (u < 0x20 || u == 0x7F) ? '_' : c;
  }
  return out;
}

// A parameter in the extended form of RFC 2231 (UTF-8, percent-encoded),
// split into numbered sections of at most about 60 characters that never
// part a character: some readers decode each section on its own.
std::string ExtendedParameter(std::string_view attribute, std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::vector<std::string> sections(1);
  for (size_t i = 0; i < value.size();) {
    // One whole UTF-8 character at a time.
    size_t len = 1;
    const auto lead = static_cast<unsigned char>(value[i]);
    if (lead >= 0xC0) len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    len = std::min(len, value.size() - i);
    std::string encoded;
    for (size_t k = i; k < i + len; ++k) {
      const auto c = static_cast<unsigned char>(value[k]);
      if (std::isalnum(c) || std::strchr("!#$&+-.^_`|~", c)) {
        encoded += static_cast<char>(c);
      } else {
        encoded += '%';
        encoded += kHex[c >> 4];
        encoded += kHex[c & 15];
      }
    }
    if (sections.back().size() + encoded.size() > 60) sections.emplace_back();
    sections.back() += encoded;
    i += len;
  }
  std::string out;
  for (size_t n = 0; n < sections.size(); ++n) {
    out += ";\n\t";
    out += attribute;
    if (sections.size() > 1) {
      out += '*';
      out += std::to_string(n);
    }
    out += "*=";
    if (n == 0) out += "UTF-8''";
    out += sections[n];
  }
  return out;
}

// Names a part's file in Content-Type (name) and Content-Disposition
// (filename): as GMime writes them when short and plain, else in the
// extended form written here.
void SetFileName(GMimeObject* part, const std::string& name) {
  const bool plain = name.size() <= 60 && std::all_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F && c != '"' && c != '\\';
  });
  if (plain) {
    g_mime_object_set_content_disposition_parameter(part, "filename", name.c_str());
    g_mime_object_set_content_type_parameter(part, "name", name.c_str());
    return;
  }
  GMimeHeaderList* list = g_mime_object_get_header_list(part);
  const char* disposition = g_mime_object_get_disposition(part);
  GMimeContentType* type = g_mime_object_get_content_type(part);
  mime::GString mimeType(g_mime_content_type_get_mime_type(type));
  if (GMimeHeader* h = g_mime_header_list_get_header(list, "Content-Disposition")) {
    const std::string raw = std::string(" ")
                                .append(disposition ? disposition : "attachment")
                                .append(ExtendedParameter("filename", name))
                                .append("\n");
    g_mime_header_set_raw_value(h, raw.c_str());
  }
  if (GMimeHeader* h = g_mime_header_list_get_header(list, "Content-Type")) {
    const std::string raw =
        std::string(" ").append(mimeType.get()).append(ExtendedParameter("name", name)).append("\n");
    g_mime_header_set_raw_value(h, raw.c_str());
  }
}

class MessageBuilder {
 public:
  MessageBuilder(content::ItemReader& reader, const MessageOptions& options, std::vector<std::string>& problems)
      : reader_(reader), options_(options), problems_(problems) {}

  mime::Ref<GMimeMessage> Build(const Item& item) {
    mime::Ref<GMimeMessage> message;
    if (!item.transportHeaders.empty()) message = MessageFromTransportHeaders(item.transportHeaders);
    if (message) {
      // Copied headers that do not parse are set aside and made again.
      SetAsideUnparsable(message.get());
      HeadersFromProperties(message.get(), item, true);
    } else {
      message.reset(g_mime_message_new(TRUE));
      HeadersFromProperties(message.get(), item, false);
    }
    mime::Ref<GMimeObject> body = Body(item);
    g_mime_message_set_mime_part(message.get(), body.get());
    g_mime_object_set_header(GMIME_OBJECT(message.get()), "MIME-Version", "1.0", nullptr);
    return message;
  }

 private:
  mime::Ref<GMimeObject> Body(const Item& item) {
    const content::Bodies& b = item.bodies;
    for (const content::Body* body : {&b.plain, &b.html}) {
      if (body->present() && body->damaged) {
        problems_.push_back("the " + std::string(body == &b.plain ? "text" : "HTML") + " body is damaged" +
                            (body->problem.empty() ? std::string() : ": " + body->problem));
      }
    }
    const bool plain = b.plain.present();
    const bool html = b.html.present();
    mime::Ref<GMimeObject> text;
    if (plain && html) {
      mime::Ref<GMimeMultipart> alternative(g_mime_multipart_new_with_subtype("alternative"));
      auto p = TextPart("plain", b.plain.text);
      auto h = TextPart("html", b.html.text);
      g_mime_multipart_add(alternative.get(), p.get());
      g_mime_multipart_add(alternative.get(), h.get());
      text.reset(GMIME_OBJECT(alternative.release()));
    } else if (html) {
      text = TextPart("html", b.html.text);
    } else {
      text = TextPart("plain", plain ? std::string_view(b.plain.text) : std::string_view());
    }
    // A meeting message also carries its event, so that mail clients show
    // it as an invitation, reply or cancellation.
    bool alternative = plain && html;
    if (auto calendar = MeetingICalendar(item)) {
      mime::Ref<GMimeObject> part = TextPart("calendar", *calendar);
      g_mime_object_set_content_type_parameter(part.get(), "method", MethodName(*calendar));
      if (!alternative) {
        mime::Ref<GMimeMultipart> multipart(g_mime_multipart_new_with_subtype("alternative"));
        g_mime_multipart_add(multipart.get(), text.get());
        text.reset(GMIME_OBJECT(multipart.release()));
        alternative = true;
      }
      g_mime_multipart_add(GMIME_MULTIPART(text.get()), part.get());
    }

    // Pictures the HTML shows by content id go beside it in multipart/related.
    std::vector<const Attachment*> related, mixed;
    for (const Attachment& a : item.attachments) {
      if (html && !a.isEmbeddedMessage() && !a.contentId.empty()) {
        related.push_back(&a);
      } else {
        mixed.push_back(&a);
      }
    }
    if (!related.empty()) {
      mime::Ref<GMimeMultipart> multipart(g_mime_multipart_new_with_subtype("related"));
      const std::string rootType = alternative ? "multipart/alternative" : "text/html";
      g_mime_object_set_content_type_parameter(GMIME_OBJECT(multipart.get()), "type", rootType.c_str());
      g_mime_multipart_add(multipart.get(), text.get());
      size_t added = 0;
      for (const Attachment* a : related) {
        if (auto part = AttachmentPart(*a, true)) {
          g_mime_multipart_add(multipart.get(), part.get());
          ++added;
        }
      }
      if (added > 0) text.reset(GMIME_OBJECT(multipart.release()));
    }

    std::vector<mime::Ref<GMimeObject>> parts;
    for (const Attachment* a : mixed) {
      if (auto part = AttachmentPart(*a, false)) parts.push_back(std::move(part));
    }
    // RTF from which no text could be derived is kept as it is.
    if (!plain && !html && b.rtf.present() && !b.rtf.text.empty()) {
      mime::Ref<GMimePart> part(g_mime_part_new_with_type("application", "rtf"));
      mime::Ref<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(b.rtf.text.data(), b.rtf.text.size()));
      mime::Ref<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
      g_mime_part_set_content(part.get(), wrapper.get());
      SetFileName(GMIME_OBJECT(part.get()), "message.rtf");
      g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
      parts.emplace_back(GMIME_OBJECT(part.release()));
    }
    if (parts.empty()) return text;
    mime::Ref<GMimeMultipart> multipart(g_mime_multipart_new_with_subtype("mixed"));
    g_mime_multipart_add(multipart.get(), text.get());
    for (auto& p : parts) g_mime_multipart_add(multipart.get(), p.get());
    return mime::Ref<GMimeObject>(GMIME_OBJECT(multipart.release()));
  }

  std::string Label(const Attachment& a) {
    return "attachment " + std::to_string(a.index + 1) + (a.fileName.empty() ? std::string() : " (" + a.fileName + ")");
  }

  mime::Ref<GMimeObject> AttachmentPart(const Attachment& a, bool inlinePart) {
    if (a.isEmbeddedMessage()) return EmbeddedPart(a);
    if (!a.readable) {
      // A link to a file elsewhere or an empty slot has no bytes to keep.
      if (a.damaged) problems_.push_back(Label(a) + " could not be read: " + a.problem);
      return nullptr;
    }
    mime::Ref<GMimeStream> stream = AttachmentStream(a);
    if (!stream) return nullptr;
    std::string type = CleanMimeType(a.mimeType);
    if (type.empty()) type = TypeFromExtension(a.fileName);
    // A leaf in base64 cannot be a message or a multipart.
    if (type.empty() || type.starts_with("message/") || type.starts_with("multipart/")) {
      type = "application/octet-stream";
    }
    const size_t slash = type.find('/');
    const std::string major = type.substr(0, slash), minor = type.substr(slash + 1);
    mime::Ref<GMimePart> part(g_mime_part_new_with_type(major.c_str(), minor.c_str()));
    mime::Ref<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part.get(), wrapper.get());
    g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
    const std::string name = ParameterText(a.fileName);
    const bool showInline = inlinePart || ((a.flags & 4) != 0 && !a.contentId.empty());
    g_mime_object_set_disposition(GMIME_OBJECT(part.get()), showInline ? "inline" : "attachment");
    if (const std::string cid = BareId(a.contentId); !cid.empty()) g_mime_part_set_content_id(part.get(), cid.c_str());
    if (!name.empty()) SetFileName(GMIME_OBJECT(part.get()), name);
    return mime::Ref<GMimeObject>(GMIME_OBJECT(part.release()));
  }

  // The attachment's bytes as a stream: in memory while the message's budget
  // lasts, else in an anonymous temporary file.
  mime::Ref<GMimeStream> AttachmentStream(const Attachment& a) {
    std::string error;
    const size_t room = options_.memoryBudget > used_ ? options_.memoryBudget - used_ : 0;
    if (a.size <= room) {
      if (auto bytes = reader_.ReadAttachmentBytes(a, room, &error)) {
        used_ += bytes->size();
        GByteArray* array = g_byte_array_sized_new(static_cast<guint>(bytes->size()));
        g_byte_array_append(array, reinterpret_cast<const guint8*>(bytes->data()), static_cast<guint>(bytes->size()));
        return mime::Ref<GMimeStream>(g_mime_stream_mem_new_with_byte_array(array));
      }
      // More than measured, or damaged: the file path below reads it again
      // and says which.
    }
    std::FILE* file = std::tmpfile();
    if (!file) {
      problems_.push_back(Label(a) + " could not be kept: no temporary file: " + std::strerror(errno));
      return nullptr;
    }
    mime::Ref<GMimeStream> stream(g_mime_stream_file_new(file));  // owns the file
    bool written = true;
    const bool read = reader_.ReadAttachment(a, [&](ByteSpan b) {
      written = std::fwrite(b.data(), 1, b.size(), file) == b.size();
      return written;
    }, &error);
    if (!read || !written || std::fflush(file) != 0) {
      problems_.push_back(Label(a) + " could not be read: " + (read ? std::string("cannot write a temporary file") : error));
      return nullptr;
    }
    g_mime_stream_reset(stream.get());
    return stream;
  }

  mime::Ref<GMimeObject> EmbeddedPart(const Attachment& a) {
    std::string error;
    content::ReadOptions read;
    read.properties = false;
    auto inner = reader_.ReadEmbedded(a, read, &error);
    if (!inner) {
      problems_.push_back(Label(a) + ": the attached message could not be read: " + error);
      return nullptr;
    }
    mime::Ref<GMimeMessage> message = Build(*inner);
    mime::Ref<GMimeMessagePart> part(g_mime_message_part_new_with_message("rfc822", message.get()));
    const std::string name = ParameterText(a.fileName.empty() ? inner->subject : a.fileName);
    g_mime_object_set_disposition(GMIME_OBJECT(part.get()), "attachment");
    if (!name.empty()) SetFileName(GMIME_OBJECT(part.get()), name + ".eml");
    return mime::Ref<GMimeObject>(GMIME_OBJECT(part.release()));
  }

  content::ItemReader& reader_;
  const MessageOptions& options_;
  std::vector<std::string>& problems_;
  size_t used_ = 0;
};

}  // namespace

const content::Address& FromAddress(const Item& item) {
  if (!EmailOf(item.sentRepresenting).empty()) return item.sentRepresenting;
  if (!EmailOf(item.sender).empty()) return item.sender;
  return item.sentRepresenting.name.empty() ? item.sender : item.sentRepresenting;
}

std::string SenderAddress(const Item& item) { return EmailOf(FromAddress(item)); }

std::optional<content::FileTime> MessageTime(const Item& item) {
  if (item.sentTime) return item.sentTime;
  if (item.receivedTime) return item.receivedTime;
  return item.creationTime;
}

bool WriteMessage(content::ItemReader& reader, const Item& item, const mime::Sink& sink,
                  const MessageOptions& options, std::vector<std::string>& problems, std::string* error) {
  mime::EnsureInitialized();
  MessageBuilder builder(reader, options, problems);
  mime::Ref<GMimeMessage> message = builder.Build(item);
  // Every part in a 7-bit form: base64 or quoted-printable where needed.
  g_mime_object_encode(GMIME_OBJECT(message.get()), GMIME_ENCODING_CONSTRAINT_7BIT);
  mime::FormatOptions format(g_mime_format_options_new());
  g_mime_format_options_set_newline_format(format.get(), options.crlf ? GMIME_NEWLINE_FORMAT_DOS : GMIME_NEWLINE_FORMAT_UNIX);
  g_mime_format_options_set_param_encoding_method(format.get(), GMIME_PARAM_ENCODING_METHOD_RFC2231);
  mime::Ref<GMimeStream> stream = mime::SinkStream(sink);
  // Writes go through a buffer: GMime writes in many small pieces.
  mime::Ref<GMimeStream> buffered(g_mime_stream_buffer_new(stream.get(), GMIME_STREAM_BUFFER_BLOCK_WRITE));
  if (g_mime_object_write_to_stream(GMIME_OBJECT(message.get()), format.get(), buffered.get()) < 0 ||
      g_mime_stream_flush(buffered.get()) != 0) {
    if (error) *error = "the message could not be written";
    return false;
  }
  return true;
}

}  // namespace velmorix::exporting
