#include "export/strict_headers.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "export/gmime_types.h"

namespace velmorix::exporting {
namespace {

bool IsAtext(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || (c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~", c));
}

bool IsDotAtom(std::string_view s) {
  if (s.empty() || s.front() == '.' || s.back() == '.') return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '.') {
      if (s[i + 1] == '.') return false;  // back() is not '.', so i + 1 is in range
    } else if (!IsAtext(s[i])) {
      return false;
    }
  }
  return true;
}

std::string Unfolded(std::string_view raw) {
  std::string s;
  for (char c : raw) {
    if (c != '\r' && c != '\n') s += c == '\t' ? ' ' : c;
  }
  return s;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

bool IsBlank(std::string_view s) { return Trimmed(Unfolded(s)).empty(); }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

bool IsAddressHeader(std::string_view name) {
  return EqualsNoCase(name, "From") || EqualsNoCase(name, "To") || EqualsNoCase(name, "Cc");
}

bool AddressesParse(const std::string& value) {
  mime::ParserOptions options(g_mime_parser_options_new());
  g_mime_parser_options_set_address_compliance_mode(options.get(), GMIME_RFC_COMPLIANCE_STRICT);
  g_mime_parser_options_set_rfc2047_compliance_mode(options.get(), GMIME_RFC_COMPLIANCE_STRICT);
  mime::Ref<InternetAddressList> list(internet_address_list_parse(options.get(), value.c_str()));
  return list && internet_address_list_length(list.get()) > 0;
}

constexpr const char* kRebuilt[] = {"From", "To", "Cc", "Subject", "Date", "Message-ID"};

}  // namespace

bool IsMessageId(std::string_view value) {
  const std::string unfolded = Unfolded(value);
  std::string_view s = Trimmed(unfolded);
  if (s.size() < 5 || s.front() != '<' || s.back() != '>') return false;
  s = s.substr(1, s.size() - 2);
  const size_t at = s.find('@');
  if (at == std::string_view::npos) return false;
  const std::string_view left = s.substr(0, at), right = s.substr(at + 1);
  if (!IsDotAtom(left)) return false;
  if (right.size() >= 2 && right.front() == '[' && right.back() == ']') {
    for (char c : right.substr(1, right.size() - 2)) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 33 || u > 126 || c == '[' || c == ']' || c == '\\') return false;
    }
    return true;
  }
  return IsDotAtom(right);
}

bool ParsesStrictly(std::string_view name, std::string_view raw) {
  const std::string value = Unfolded(raw);
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
  }
  if (EqualsNoCase(name, "Message-ID")) return IsMessageId(value);
  if (EqualsNoCase(name, "Date")) {
    mime::DateTime date(g_mime_utils_header_decode_date(value.c_str()));
    return date != nullptr;
  }
  if (IsAddressHeader(name)) return AddressesParse(value);
  return true;
}

void SetAsideUnparsable(GMimeMessage* message) {
  GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message));
  for (const char* name : kRebuilt) {
    for (int i = g_mime_header_list_get_count(list) - 1; i >= 0; --i) {
      GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
      const char* hname = g_mime_header_get_name(h);
      if (!hname || !EqualsNoCase(hname, name)) continue;
      const char* rawValue = g_mime_header_get_raw_value(h);
      const std::string raw = rawValue ? rawValue : "";
      if (IsBlank(raw) || ParsesStrictly(name, raw)) continue;
      const std::string kept = std::string("X-Original-") + name;
      g_mime_header_list_remove_at(list, i);
      g_mime_header_list_append(list, kept.c_str(), "", nullptr);
      // The appended header is the last of its name.
      GMimeHeader* copy = nullptr;
      for (int j = g_mime_header_list_get_count(list) - 1; j >= 0 && !copy; --j) {
        GMimeHeader* c = g_mime_header_list_get_header_at(list, j);
        if (const char* n = g_mime_header_get_name(c); n && kept == n) copy = c;
      }
      if (copy) g_mime_header_set_raw_value(copy, raw.c_str());
    }
  }
}

void SetSubjectExactly(GMimeMessage* message, const std::string& subject) {
  g_mime_message_set_subject(message, subject.c_str(), "utf-8");
  if (subject.empty() || subject.back() != ' ') return;
  // Encoded words of at most 45 bytes each (60 characters of base64), cut
  // between UTF-8 sequences.
  std::string raw;
  size_t pos = 0;
  while (pos < subject.size()) {
    size_t end = std::min(subject.size(), pos + 45);
    while (end < subject.size() && end > pos + 1 && (static_cast<unsigned char>(subject[end]) & 0xC0) == 0x80) --end;
    mime::GString b64(g_base64_encode(reinterpret_cast<const guchar*>(subject.data() + pos), end - pos));
    raw += raw.empty() ? " " : "\n ";
    raw += "=?utf-8?b?";
    raw += b64.get();
    raw += "?=";
    pos = end;
  }
  raw += "\n";
  GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message));
  if (GMimeHeader* h = g_mime_header_list_get_header(list, "Subject")) g_mime_header_set_raw_value(h, raw.c_str());
}

}  // namespace velmorix::exporting
