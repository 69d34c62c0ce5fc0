// The content reader over arbitrary input: compressed RTF and the RTF
// readers, HTML to text and names made safe, and whole items laid into a
// real store file and read in full, attachments and embedded messages
// included, then exported as a message, a vCard, an iCalendar file and a
// .msg file.
//
// Input: [mode][...]
//   mode % 3 == 0: a PidTagRtfCompressed value (also read as RTF text)
//   mode % 3 == 1: HTML (also a name to make safe, and code-page text)
//   mode % 3 == 2: [flags][subnode count n][n x (u16 length, bytes)][node data...]
//     flags bit 0: Unicode variant. Subnodes take the NIDs 0x692 (recipient
//     table), 0x671 (attachment table), 0x8025 (attachment), then value NIDs;
//     with bit 1 the subnodes after the third are the attachment's own.
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string_view>
#include <vector>

#include "content/codepage.h"
#include "content/html_text.h"
#include "content/item_reader.h"
#include "content/rtf.h"
#include "content/safe_name.h"
#include "export/eml.h"
#include "export/icalendar.h"
#include "export/msg.h"
#include "export/vcard.h"
#include "fuzz_input.h"
#include "storebuilder/ndb.h"

namespace {

using namespace velmorix;

void ReadRtf(ByteSpan bytes) {
  content::TextDecoder decoder;
  if (auto rtf = content::DecompressRtf(bytes)) {
    content::RtfToHtml(rtf->rtf, decoder);
    content::RtfToText(rtf->rtf, decoder);
  }
  content::RtfToHtml(AsChars(bytes), decoder);
  content::RtfToText(AsChars(bytes), decoder);
}

void ReadHtml(ByteSpan bytes) {
  content::HtmlToText(AsChars(bytes));
  content::HtmlDeclaredCharset(AsChars(bytes));
  content::SafeFileName(AsChars(bytes));
  content::TextDecoder decoder;
  for (int cp : {1252, 932, 65001, 1200}) decoder.ToUtf8(bytes, cp);
}

void ReadFully(content::ItemReader& reader, const content::Item& item, int depth) {
  for (const content::Attachment& a : item.attachments) {
    reader.ReadAttachment(a, [](ByteSpan) { return true; });
    if (depth < 3) {
      if (auto inner = reader.ReadEmbedded(a)) ReadFully(reader, *inner, depth + 1);
    }
  }
}

constexpr uint32_t kNids[] = {0x692, 0x671, 0x8025, 0x803F, 0x805F, 0x8045, 0x807F, 0x809F};

void ReadItem(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const uint8_t flags = data[0];
  const size_t count = data[1] % 9;
  size_t pos = 2;
  std::vector<Buffer> values;
  for (size_t i = 0; i < count && pos + 2 <= size; ++i) {
    size_t len = data[pos] | (static_cast<size_t>(data[pos + 1]) << 8);
    pos += 2;
    if (len > size - pos) len = size - pos;
    values.emplace_back(reinterpret_cast<const std::byte*>(data + pos),
                        reinterpret_cast<const std::byte*>(data + pos + len));
    pos += len;
  }
  const Buffer node(reinterpret_cast<const std::byte*>(data + pos), reinterpret_cast<const std::byte*>(data + size));
  if (node.empty()) return;

  storebuilder::NdbOptions o;
  o.format = (flags & 1) ? storebuilder::Format::Unicode23 : storebuilder::Format::Ansi14;
  o.encryption = 0;
  storebuilder::NdbWriter w(o);
  std::vector<storebuilder::SubnodeRef> top, own;
  for (size_t i = 0; i < values.size() && i < std::size(kNids); ++i) {
    if (values[i].empty()) continue;
    const storebuilder::SubnodeRef ref{kNids[i], w.AddData(values[i]), 0};
    ((flags & 2) && i > 2 ? own : top).push_back(ref);
  }
  if (!own.empty()) {
    const uint32_t block = w.AddSubnodeBlock(own);
    for (auto& r : top) {
      if (r.nid == 0x8025) r.subnodeBid = block;
    }
  }
  const uint32_t sub = top.empty() ? 0 : w.AddSubnodeBlock(top);
  const uint32_t bid = w.AddData(node);
  w.AddNode(0x61, bid, sub, 0);
  w.AddNode(0x200024, bid, sub, 0);
  w.Write(fuzz::InputPath());

  auto reader = content::ItemReader::Open(fuzz::InputPath());
  if (!reader) return;
  if (auto item = reader->Read(0x200024)) {
    ReadFully(*reader, *item, 0);
    // The item exported in every form, the message into a sink that keeps nothing.
    std::vector<std::string> problems;
    const exporting::mime::Sink sink = [](std::string_view) { return true; };
    exporting::WriteMessage(*reader, *item, sink, {}, problems);
    exporting::VCard(*item);
    exporting::ICalendar(*item, exporting::CalendarKindOf(*item));
  }
  // Read again with every raw property and written as a .msg file into an
  // anonymous temporary file.
  if (auto item = reader->Read(0x200024, exporting::MsgReadOptions())) {
    if (FILE* f = std::tmpfile()) {
      std::vector<std::string> problems;
      exporting::WriteMsg(*reader, *item, fileno(f), problems);
      std::fclose(f);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const ByteSpan rest(reinterpret_cast<const std::byte*>(data + 1), size - 1);
  switch (data[0] % 3) {
    case 0: ReadRtf(rest); break;
    case 1: ReadHtml(rest); break;
    default: ReadItem(data + 1, size - 1); break;
  }
  return 0;
}
