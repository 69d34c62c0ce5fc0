#include "content/html_text.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <vector>

#include "content/codepage.h"

namespace velmorix::content {
namespace {

struct Entity {
  const char* name;
  uint32_t cp;
};

// Character references by name: the markup characters, Latin-1 and the
// usual typographic ones.
constexpr Entity kEntities[] = {
    {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''},
    {"nbsp", 0xA0}, {"iexcl", 0xA1}, {"cent", 0xA2}, {"pound", 0xA3}, {"curren", 0xA4},
    {"yen", 0xA5}, {"brvbar", 0xA6}, {"sect", 0xA7}, {"uml", 0xA8}, {"copy", 0xA9},
    {"ordf", 0xAA}, {"laquo", 0xAB}, {"not", 0xAC}, {"shy", 0xAD}, {"reg", 0xAE},
    {"macr", 0xAF}, {"deg", 0xB0}, {"plusmn", 0xB1}, {"sup2", 0xB2}, {"sup3", 0xB3},
    {"acute", 0xB4}, {"micro", 0xB5}, {"para", 0xB6}, {"middot", 0xB7}, {"cedil", 0xB8},
    {"sup1", 0xB9}, {"ordm", 0xBA}, {"raquo", 0xBB}, {"frac14", 0xBC}, {"frac12", 0xBD},
    {"frac34", 0xBE}, {"iquest", 0xBF}, {"Agrave", 0xC0}, {"Aacute", 0xC1}, {"Acirc", 0xC2},
    {"Atilde", 0xC3}, {"Auml", 0xC4}, {"Aring", 0xC5}, {"AElig", 0xC6}, {"Ccedil", 0xC7},
    {"Egrave", 0xC8}, {"Eacute", 0xC9}, {"Ecirc", 0xCA}, {"Euml", 0xCB}, {"Igrave", 0xCC},
    {"Iacute", 0xCD}, {"Icirc", 0xCE}, {"Iuml", 0xCF}, {"ETH", 0xD0}, {"Ntilde", 0xD1},
    {"Ograve", 0xD2}, {"Oacute", 0xD3}, {"Ocirc", 0xD4}, {"Otilde", 0xD5}, {"Ouml", 0xD6},
    {"times", 0xD7}, {"Oslash", 0xD8}, {"Ugrave", 0xD9}, {"Uacute", 0xDA}, {"Ucirc", 0xDB},
    {"Uuml", 0xDC}, {"Yacute", 0xDD}, {"THORN", 0xDE}, {"szlig", 0xDF}, {"agrave", 0xE0},
    {"aacute", 0xE1}, {"acirc", 0xE2}, {"atilde", 0xE3}, {"auml", 0xE4}, {"aring", 0xE5},
    {"aelig", 0xE6}, {"ccedil", 0xE7}, {"egrave", 0xE8}, {"eacute", 0xE9}, {"ecirc", 0xEA},
    {"euml", 0xEB}, {"igrave", 0xEC}, {"iacute", 0xED}, {"icirc", 0xEE}, {"iuml", 0xEF},
    {"eth", 0xF0}, {"ntilde", 0xF1}, {"ograve", 0xF2}, {"oacute", 0xF3}, {"ocirc", 0xF4},
    {"otilde", 0xF5}, {"ouml", 0xF6}, {"divide", 0xF7}, {"oslash", 0xF8}, {"ugrave", 0xF9},
    {"uacute", 0xFA}, {"ucirc", 0xFB}, {"uuml", 0xFC}, {"yacute", 0xFD}, {"thorn", 0xFE},
    {"yuml", 0xFF}, {"OElig", 0x152}, {"oelig", 0x153}, {"Scaron", 0x160}, {"scaron", 0x161},
    {"Yuml", 0x178}, {"fnof", 0x192}, {"circ", 0x2C6}, {"tilde", 0x2DC}, {"ensp", 0x2002},
    {"emsp", 0x2003}, {"thinsp", 0x2009}, {"zwnj", 0x200C}, {"zwj", 0x200D}, {"lrm", 0x200E},
    {"rlm", 0x200F}, {"ndash", 0x2013}, {"mdash", 0x2014}, {"lsquo", 0x2018}, {"rsquo", 0x2019},
    {"sbquo", 0x201A}, {"ldquo", 0x201C}, {"rdquo", 0x201D}, {"bdquo", 0x201E},
    {"dagger", 0x2020}, {"Dagger", 0x2021}, {"bull", 0x2022}, {"hellip", 0x2026},
    {"permil", 0x2030}, {"prime", 0x2032}, {"Prime", 0x2033}, {"lsaquo", 0x2039},
    {"rsaquo", 0x203A}, {"euro", 0x20AC}, {"trade", 0x2122}, {"larr", 0x2190}, {"uarr", 0x2191},
    {"rarr", 0x2192}, {"darr", 0x2193}, {"harr", 0x2194}, {"minus", 0x2212}};

bool NameIs(std::string_view name, const char* tag) { return name == tag; }

bool IsBlock(std::string_view n) {
  static constexpr const char* kBlocks[] = {
      "p", "div", "tr", "table", "ul", "ol", "dl", "dt", "dd", "blockquote", "pre", "hr",
      "h1", "h2", "h3", "h4", "h5", "h6", "address", "center", "section", "article", "header",
      "footer", "nav", "form", "caption", "fieldset", "body"};
  return std::any_of(std::begin(kBlocks), std::end(kBlocks), [&](const char* b) { return n == b; });
}

// Elements whose content is never shown.
bool IsHiddenContent(std::string_view n) {
  return n == "script" || n == "style" || n == "title" || n == "xml";
}

bool StartsWithNoCase(std::string_view s, size_t at, std::string_view p) {
  if (s.size() - std::min(at, s.size()) < p.size()) return false;
  for (size_t i = 0; i < p.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[at + i])) != p[i]) return false;
  }
  return true;
}

// Resolves the reference at html[i] (just after '&'); advances `i` past it.
// Appends the character, or '&' when it is no reference.
void Reference(std::string_view html, size_t& i, std::string& out) {
  const size_t start = i;
  if (i < html.size() && html[i] == '#') {
    ++i;
    const bool hex = i < html.size() && (html[i] == 'x' || html[i] == 'X');
    if (hex) ++i;
    uint32_t cp = 0;
    size_t digits = 0;
    while (i < html.size() &&
           (hex ? std::isxdigit(static_cast<unsigned char>(html[i])) : std::isdigit(static_cast<unsigned char>(html[i])))) {
      const char c = html[i];
      // Values beyond Unicode stop growing; they come out as U+FFFD.
      if (cp <= 0x10FFFF) {
        cp = cp * (hex ? 16 : 10) +
             static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10));
      }
      ++i;
      ++digits;
    }
    if (digits == 0) {
      i = start;
      out += '&';
      return;
    }
    if (i < html.size() && html[i] == ';') ++i;
    AppendCodePoint(cp == 0 ? 0xFFFD : cp, out);
    return;
  }
  size_t end = i;
  while (end < html.size() && end - i < 10 && std::isalnum(static_cast<unsigned char>(html[end]))) ++end;
  const std::string_view name = html.substr(i, end - i);
  for (const Entity& e : kEntities) {
    if (name == e.name) {
      i = end;
      if (i < html.size() && html[i] == ';') ++i;
      AppendCodePoint(e.cp, out);
      return;
    }
  }
  out += '&';
}

std::string Decode(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    if (s[i] == '&') {
      ++i;
      Reference(s, i, out);
    } else {
      out += s[i++];
    }
  }
  return out;
}

// Builds the text: whitespace collapsed, breaks and cell separators placed
// before the next visible character.
class TextOut {
 public:
  void Char(char c, bool pre) {
    if (pre) {
      if (c == '\r') return;
      Flush();
      if (c == '\n') {
        out_ += "\r\n";
        lineStart_ = true;
      } else {
        out_ += c;
        lineStart_ = false;
      }
      return;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f') {
      space_ = true;
      return;
    }
    Flush();
    out_ += c;
    lineStart_ = false;
  }
  void Text(std::string_view s) {
    for (char c : s) Char(c, false);
  }
  void Block() { breaks_ = std::max(breaks_, 1); }
  void LineBreak() {
    FlushBreaks();
    out_ += "\r\n";
    lineStart_ = true;
    space_ = false;
    tab_ = false;
  }
  void Cell() { tab_ = true; }
  size_t size() const { return out_.size(); }
  std::string_view Since(size_t at) const { return std::string_view(out_).substr(at); }
  std::string Take() {
    while (!out_.empty() && (out_.back() == '\r' || out_.back() == '\n' || out_.back() == ' ')) out_.pop_back();
    return std::move(out_);
  }

 private:
  void FlushBreaks() {
    if (breaks_ > 0 && !out_.empty()) {
      if (!lineStart_) out_ += "\r\n";
      lineStart_ = true;
    }
    breaks_ = 0;
  }
  void Flush() {
    if (breaks_ > 0) {
      FlushBreaks();
      space_ = false;
      tab_ = false;
    }
    if (tab_ && !lineStart_) {
      out_ += '\t';
      space_ = false;
    } else if (space_ && !lineStart_) {
      out_ += ' ';
    }
    tab_ = false;
    space_ = false;
  }

  std::string out_;
  int breaks_ = 0;
  bool space_ = false;
  bool tab_ = false;
  bool lineStart_ = true;
};

struct Tag {
  std::string name;  // lower case
  bool closing = false;
  std::string href;
};

// Parses the tag at html[i] ('<'); advances `i` past its '>'.
Tag ParseTag(std::string_view html, size_t& i) {
  Tag t;
  ++i;
  if (i < html.size() && html[i] == '/') {
    t.closing = true;
    ++i;
  }
  while (i < html.size() && (std::isalnum(static_cast<unsigned char>(html[i])) || html[i] == ':' || html[i] == '-')) {
    t.name += static_cast<char>(std::tolower(static_cast<unsigned char>(html[i])));
    ++i;
  }
  // Attributes up to the closing '>', quoted values honoured.
  while (i < html.size() && html[i] != '>') {
    if (std::isspace(static_cast<unsigned char>(html[i])) || html[i] == '/') {
      ++i;
      continue;
    }
    std::string attr;
    while (i < html.size() && !std::isspace(static_cast<unsigned char>(html[i])) && html[i] != '=' &&
           html[i] != '>') {
      attr += static_cast<char>(std::tolower(static_cast<unsigned char>(html[i])));
      ++i;
    }
    while (i < html.size() && std::isspace(static_cast<unsigned char>(html[i]))) ++i;
    if (i >= html.size() || html[i] != '=') continue;
    ++i;
    while (i < html.size() && std::isspace(static_cast<unsigned char>(html[i]))) ++i;
    std::string value;
    if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
      const char q = html[i++];
      const size_t end = html.find(q, i);
      const size_t stop = end == std::string_view::npos ? html.size() : end;
      value = std::string(html.substr(i, stop - i));
      i = stop == html.size() ? stop : stop + 1;
    } else {
      while (i < html.size() && !std::isspace(static_cast<unsigned char>(html[i])) && html[i] != '>') {
        value += html[i++];
      }
    }
    if (attr == "href") t.href = Decode(value);
  }
  if (i < html.size()) ++i;
  return t;
}

// Advances `i` past `end` (lower-case), or to the end of the text.
void SkipPast(std::string_view html, size_t& i, std::string_view end) {
  while (i < html.size() && !StartsWithNoCase(html, i, end)) ++i;
  i = std::min(html.size(), i + end.size());
}

}  // namespace

std::string HtmlToText(std::string_view html) {
  TextOut out;
  int pre = 0;
  struct Link {
    size_t start;
    std::string href;
  };
  std::vector<Link> links;
  size_t i = 0;
  while (i < html.size()) {
    const char c = html[i];
    if (c == '&') {
      ++i;
      std::string ch;
      Reference(html, i, ch);
      for (char b : ch) out.Char(b, pre > 0);
      continue;
    }
    if (c != '<') {
      out.Char(c, pre > 0);
      ++i;
      continue;
    }
    if (StartsWithNoCase(html, i, "<!--")) {
      i += 4;
      SkipPast(html, i, "-->");
      continue;
    }
    if (i + 1 < html.size() && (html[i + 1] == '!' || html[i + 1] == '?')) {
      SkipPast(html, i, ">");
      continue;
    }
    if (i + 1 >= html.size() || !(std::isalpha(static_cast<unsigned char>(html[i + 1])) || html[i + 1] == '/')) {
      out.Char(c, pre > 0);
      ++i;
      continue;
    }
    Tag tag = ParseTag(html, i);
    const std::string& n = tag.name;
    if (!tag.closing && IsHiddenContent(n)) {
      SkipPast(html, i, "</" + n);
      SkipPast(html, i, ">");
      continue;
    }
    if (NameIs(n, "br")) {
      out.LineBreak();
    } else if (NameIs(n, "li")) {
      out.Block();
      if (!tag.closing) out.Text("- ");
    } else if (NameIs(n, "td") || NameIs(n, "th")) {
      if (!tag.closing) out.Cell();
    } else if (NameIs(n, "pre")) {
      out.Block();
      pre = std::max(0, pre + (tag.closing ? -1 : 1));
    } else if (IsBlock(n)) {
      out.Block();
    } else if (NameIs(n, "a")) {
      if (!tag.closing) {
        links.push_back({out.size(), tag.href});
      } else if (!links.empty()) {
        const Link link = std::move(links.back());
        links.pop_back();
        const std::string_view shown = out.Since(link.start);
        const std::string& h = link.href;
        if (!h.empty() && h[0] != '#' && !StartsWithNoCase(h, 0, "mailto:") &&
            !StartsWithNoCase(h, 0, "javascript:") && shown.find(h) == std::string_view::npos) {
          out.Text(" <" + h + ">");
        }
      }
    }
  }
  return out.Take();
}

std::string HtmlDeclaredCharset(std::string_view html) {
  const std::string_view head = html.substr(0, std::min<size_t>(html.size(), 8192));
  for (size_t i = 0; i < head.size(); ++i) {
    if (!StartsWithNoCase(head, i, "charset")) continue;
    size_t j = i + 7;
    while (j < head.size() && std::isspace(static_cast<unsigned char>(head[j]))) ++j;
    if (j >= head.size() || head[j] != '=') continue;
    ++j;
    while (j < head.size() && (std::isspace(static_cast<unsigned char>(head[j])) || head[j] == '"' || head[j] == '\'')) ++j;
    std::string name;
    while (j < head.size() && name.size() < 40 &&
           (std::isalnum(static_cast<unsigned char>(head[j])) || (head[j] != '\0' && std::strchr("-_.:", head[j])))) {
      name += head[j++];
    }
    if (!name.empty()) return name;
  }
  return {};
}

}  // namespace velmorix::content
