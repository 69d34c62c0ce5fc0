#include "export/vcard.h"

#include <cstdio>
#include <ctime>
#include <vector>

namespace velmorix::exporting {
namespace {

using content::Item;

class CardWriter {
 public:
  // A property whose value is one text.
  void Text(std::string_view name, std::string_view value, std::string_view params = {}) {
    if (value.empty()) return;
    Raw(name, VCardText(value), params);
  }
  // A property whose value has components separated by ";".
  void Structured(std::string_view name, std::initializer_list<std::string_view> parts,
                  std::string_view params = {}) {
    bool any = false;
    std::string value;
    bool first = true;
    for (std::string_view p : parts) {
      if (!first) value += ';';
      first = false;
      value += VCardText(p);
      any = any || !p.empty();
    }
    if (any) Raw(name, value, params);
  }
  // A property whose value is a URI: no escapes, no blanks or controls.
  void Uri(std::string_view name, std::string_view value, std::string_view params = {}) {
    std::string uri;
    for (char c : value) {
      if (static_cast<unsigned char>(c) > 0x20 && c != 0x7F) uri += c;
    }
    if (!uri.empty()) Raw(name, uri, params);
  }
  void Raw(std::string_view name, std::string_view value, std::string_view params = {}) {
    std::string line(name);
    if (!params.empty()) {
      line += ';';
      line += params;
    }
    line += ':';
    line += value;
    out_ += FoldLine(line);
  }
  std::string& out() { return out_; }

 private:
  std::string out_;
};

// A parameter value: quoted, with the characters it cannot hold as RFC 6868
// escapes (^^, ^n, ^').
std::string ParamValue(std::string_view v) {
  std::string out = "\"";
  for (char c : v) {
    if (c == '^') out += "^^";
    else if (c == '\n') out += "^n";
    else if (c == '"') out += "^'";
    else if (c == '\r' || c == '\0') continue;
    else out += c;
  }
  return out + "\"";
}

std::string Date(content::FileTime t) {
  const time_t secs = static_cast<time_t>(content::UnixSeconds(t));
  struct tm tm {};
  if (!gmtime_r(&secs, &tm) || tm.tm_year + 1900 < 1 || tm.tm_year + 1900 > 9999) return {};
  // Birthdays are stored as the local midnight of the day: the nearest
  // midnight in UTC gives the day for any time zone.
  const time_t rounded = static_cast<time_t>(content::UnixSeconds(t) + 43200);
  if (!gmtime_r(&rounded, &tm)) return {};
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return buf;
}

const char* PhoneTypes(std::string_view label) {
  if (label == "business" || label == "business 2") return "work,voice";
  if (label == "home" || label == "home 2") return "home,voice";
  if (label == "mobile" || label == "car") return "cell";
  if (label == "pager") return "pager";
  if (label == "business fax") return "work,fax";
  if (label == "home fax") return "home,fax";
  if (label == "other fax") return "fax";
  if (label == "tty") return "textphone";
  return "voice";
}

}  // namespace

std::string VCardText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '\\': out += "\\\\"; break;
      case ',': out += "\\,"; break;
      case ';': out += "\\;"; break;
      case '\r':
        if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        out += "\\n";
        break;
      case '\n': out += "\\n"; break;
      default:
        // No other control character has a place in a text value.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') break;
        out += c;
    }
  }
  return out;
}

std::string FoldLine(std::string_view line) {
  std::string out;
  out.reserve(line.size() + line.size() / 70 * 3 + 2);
  size_t room = 75;
  while (line.size() > room) {
    size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    if (cut == 0) cut = room;
    out.append(line.substr(0, cut));
    out += "\r\n ";
    line.remove_prefix(cut);
    room = 74;  // the leading blank counts
  }
  out.append(line);
  out += "\r\n";
  return out;
}

std::string VCard(const Item& item) {
  CardWriter w;
  w.Raw("BEGIN", "VCARD");
  w.Raw("VERSION", "4.0");
  const content::ContactFields empty;
  const content::ContactFields& c = item.contact ? *item.contact : empty;
  if (item.kind == content::ItemKind::DistributionList) w.Raw("KIND", "group");

  std::string fn = c.displayName;
  if (fn.empty()) {
    for (const std::string* part : {&c.prefix, &c.givenName, &c.middleName, &c.surname, &c.suffix}) {
      if (part->empty()) continue;
      if (!fn.empty()) fn += ' ';
      fn += *part;
    }
  }
  if (fn.empty()) fn = !c.fileUnder.empty() ? c.fileUnder : !item.subject.empty() ? item.subject : c.company;
  if (fn.empty() && !c.emails.empty()) fn = c.emails.front().address;
  // FN is required; a contact with no name at all still gets one.
  w.Raw("FN", fn.empty() ? std::string("(no name)") : VCardText(fn));
  w.Structured("N", {c.surname, c.givenName, c.middleName, c.prefix, c.suffix});
  w.Text("NICKNAME", c.nickname);
  w.Structured("ORG", {c.company, c.department});
  w.Text("TITLE", c.jobTitle);
  w.Text("ROLE", c.profession);
  int pref = 1;
  for (const auto& e : c.emails) {
    if (e.address.empty()) continue;
    w.Text("EMAIL", e.address, "PREF=" + std::to_string(pref++));
  }
  for (const auto& p : c.phones) w.Text("TEL", p.value, std::string("VALUE=text;TYPE=\"") + PhoneTypes(p.label) + "\"");
  for (const auto& a : c.addresses) {
    std::string params;
    if (a.label == "work" || a.label == "home") params = "TYPE=" + a.label;
    if (!a.full.empty()) params += std::string(params.empty() ? "" : ";") + "LABEL=" + ParamValue(a.full);
    const bool parts = !a.street.empty() || !a.city.empty() || !a.state.empty() || !a.postalCode.empty() ||
                       !a.country.empty() || !a.poBox.empty();
    if (parts) {
      w.Structured("ADR", {a.poBox, "", a.street, a.city, a.state, a.postalCode, a.country}, params);
    } else {
      // Only the whole address is kept: it goes in the street component.
      w.Raw("ADR", ";;" + VCardText(a.full) + ";;;;", params);
    }
  }
  if (c.birthday) {
    if (const std::string d = Date(*c.birthday); !d.empty()) w.Raw("BDAY", d);
  }
  if (c.anniversary) {
    if (const std::string d = Date(*c.anniversary); !d.empty()) w.Raw("ANNIVERSARY", d);
  }
  w.Uri("URL", c.businessHomePage, "TYPE=work");
  w.Uri("URL", c.personalHomePage, "TYPE=home");
  // An instant-messaging address is kept only in the URI form IMPP takes.
  if (c.imAddress.find(':') != std::string::npos) w.Uri("IMPP", c.imAddress);
  if (!item.categories.empty()) {
    std::string value;
    for (const auto& cat : item.categories) {
      if (!value.empty()) value += ',';
      value += VCardText(cat);
    }
    w.Raw("CATEGORIES", value);
  }
  // A list's members: those with an Internet address as MEMBER (the name
  // in X-CN), the others named in the note.
  std::string others;
  for (const auto& m : c.members) {
    const bool internet = m.address.find('@') != std::string::npos && m.address.find(' ') == std::string::npos &&
                          m.address.find(':') == std::string::npos;
    if (internet) {
      w.Uri("MEMBER", "mailto:" + m.address, m.displayName.empty() ? std::string() : "X-CN=" + ParamValue(m.displayName));
    } else {
      others += (others.empty() ? "" : "\n") + m.displayName +
                (m.address.empty() ? std::string() : " (" + m.addressType + ":" + m.address + ")");
    }
  }
  const content::Body& body = item.bodies.plain;
  std::string note;
  if (body.present()) {
    note = body.text;
    while (!note.empty() && (note.back() == '\n' || note.back() == '\r' || note.back() == ' ')) note.pop_back();
  }
  if (!others.empty()) note += (note.empty() ? "" : "\n\n") + std::string("Members without an Internet address:\n") + others;
  w.Text("NOTE", note);
  w.Raw("END", "VCARD");
  return std::move(w.out());
}

}  // namespace velmorix::exporting
