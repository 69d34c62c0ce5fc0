// An item's bodies: plain text (0x1000), HTML (0x1013) and compressed RTF
// (0x1009), each as stored, and the forms the item lacks derived from the
// others: HTML from RTF that encapsulates it, plain text from the HTML or
// the RTF.
#include <algorithm>

#include "content/html_text.h"
#include "content/parts.h"
#include "content/rtf.h"
#include "format/vocabulary.h"

namespace velmorix::content {
namespace {

void Unreadable(Body& b, std::string problem) {
  b.source = BodySource::Stored;
  b.damaged = true;
  b.problem = std::move(problem);
}

// The code page of an HTML body kept as bytes: the one the item names, else
// the one the document declares, else UTF-8 when the bytes are valid UTF-8,
// else the item's.
int HtmlCodePage(const PartContext& c, ByteSpan html) {
  if (auto cp = c.Int(format::kPidTagInternetCodepage); cp && *cp > 0) return static_cast<int>(*cp);
  if (int cp = CodePageOfCharset(HtmlDeclaredCharset(AsChars(html)))) return cp;
  const std::string_view s = AsChars(html);
  if (ValidUtf8(s) == s) return kCodePageUtf8;
  return c.codePage;
}

}  // namespace

void ReadBodies(const PartContext& c, Item& item, bool plainSuffices) {
  Bodies& b = item.bodies;

  if (auto v = c.pc.Get(format::kPidTagBody)) {
    if (auto text = v->Text(c.decoder, c.codePage)) {
      b.plain.source = BodySource::Stored;
      b.plain.text = std::move(*text);
    } else {
      Unreadable(b.plain, "the plain text body cannot be read");
    }
  }
  if (plainSuffices && b.plain.present() && !(b.plain.damaged && b.plain.text.empty())) return;

  if (auto v = c.pc.Get(format::kPidTagHtml)) {
    auto bytes = v->Bytes();
    if (!bytes) {
      Unreadable(b.html, "the HTML body cannot be read");
    } else {
      b.html.source = BodySource::Stored;
      if (v->type == format::kPtypString) {
        b.html.text = *v->Text(c.decoder, c.codePage);
      } else {
        b.html.text = c.decoder.ToUtf8(*bytes, HtmlCodePage(c, *bytes));
      }
    }
  }

  if (auto v = c.pc.Get(format::kPidTagRtfCompressed)) {
    auto bytes = v->Bytes();
    auto rtf = bytes ? DecompressRtf(*bytes) : std::nullopt;
    if (!bytes) {
      Unreadable(b.rtf, "the RTF body cannot be read");
    } else if (!rtf) {
      Unreadable(b.rtf, "the RTF body is not in a known form");
    } else {
      b.rtf.source = BodySource::Stored;
      b.rtf.text = std::move(rtf->rtf);
      b.rtf.damaged = rtf->damaged;
      b.rtf.problem = std::move(rtf->problem);
    }
  }

  const bool rtfUsable = b.rtf.present() && !b.rtf.text.empty();
  const bool htmlUsable = b.html.present() && !(b.html.damaged && b.html.text.empty());
  if (!htmlUsable && rtfUsable) {
    if (auto html = RtfToHtml(b.rtf.text, c.decoder)) {
      b.html.source = BodySource::FromRtf;
      b.html.text = std::move(*html);
      b.html.damaged = b.rtf.damaged;
      b.html.problem = b.rtf.problem;
    }
  }
  const bool plainUsable = b.plain.present() && !(b.plain.damaged && b.plain.text.empty());
  if (!plainUsable) {
    Body derived;
    if (b.html.present() && !b.html.text.empty()) {
      derived.source = BodySource::FromHtml;
      derived.text = HtmlToText(b.html.text);
      derived.damaged = b.html.damaged;
      derived.problem = b.html.problem;
    } else if (rtfUsable) {
      derived.source = BodySource::FromRtf;
      derived.text = RtfToText(b.rtf.text, c.decoder);
      derived.damaged = b.rtf.damaged;
      derived.problem = b.rtf.problem;
    }
    if (derived.present()) b.plain = std::move(derived);
  }

  for (const Body* body : {&b.plain, &b.html, &b.rtf}) {
    if (body->damaged && std::find(item.problems.begin(), item.problems.end(), body->problem) ==
                             item.problems.end()) {
      item.problems.push_back(body->problem);
    }
  }
}

}  // namespace velmorix::content
