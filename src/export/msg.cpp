#include "export/msg.h"

#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <mutex>

#include "content/codepage.h"
#include "export/msg_names.h"
#include "export/output.h"
#include "format/vocabulary.h"

namespace velmorix::exporting {
namespace {

using content::Attachment;
using content::Item;
using content::RawProperty;

// The class of a message storage: {00020D0B-0000-0000-C000-000000000046}.
constexpr guint8 kMessageClassId[16] = {0x0B, 0x0D, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint32_t kReadableWritable = 0x6;
constexpr uint32_t kAttachDataBinary = format::Tag(format::kPidTagAttachDataBinary, format::kPtypBinary);
constexpr uint32_t kAttachDataObject = format::Tag(format::kPidTagAttachDataBinary, format::kPtypObject);
// The streams may fill the file less the sector tables (one 4-byte entry
// per 512-byte sector) and the directory.
constexpr uint64_t kContentLimit = kMaxMsgBytes - kMaxMsgBytes / 128 - (8u << 20);

// A libgsf output: closed when released, before its reference is dropped.
struct OutputDeleter {
  void operator()(GsfOutput* o) const {
    if (!gsf_output_is_closed(o)) gsf_output_close(o);
    g_object_unref(o);
  }
};
using Output = std::unique_ptr<GsfOutput, OutputDeleter>;

std::string Hex8(const char* prefix, uint32_t v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s%08X", prefix, static_cast<unsigned>(v));
  return buf;
}

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// One record of a property stream.
struct Entry {
  uint32_t tag = 0;
  std::string value;  // 8 bytes
};

class Writer {
 public:
  Writer(content::ItemReader& reader, std::vector<std::string>& problems) : reader_(reader), problems_(problems) {}

  const std::string& error() const { return error_; }

  // Writes one message's storage: its properties, recipients and attachments.
  bool Message(GsfOutfile* storage, const Item& item, bool top) {
    if (top) gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(storage), kMessageClassId);
    std::vector<Entry> entries;
    if (!Properties(storage, item.raw, item.codePage, entries)) return false;
    if (top && std::none_of(entries.begin(), entries.end(), [](const Entry& e) { return e.tag >> 16 == 0x340D; })) {
      // The strings are Unicode: say so as a store's message would.
      entries.push_back(Fixed(0x340D0003, 0x00040000));
    }
    const size_t recipients = std::min(item.recipients.size(), kMaxMsgRecipients);
    if (recipients < item.recipients.size()) {
      problems_.push_back("only the first " + std::to_string(kMaxMsgRecipients) + " of " +
                          std::to_string(item.recipients.size()) + " recipients are kept: a .msg file holds no more");
    }
    for (size_t i = 0; i < recipients; ++i) {
      if (!Recipient(storage, item.recipients[i], item.codePage, static_cast<uint32_t>(i))) return false;
    }
    const size_t attachments = std::min(item.attachments.size(), kMaxMsgAttachments);
    if (attachments < item.attachments.size()) {
      problems_.push_back("only the first " + std::to_string(kMaxMsgAttachments) + " of " +
                          std::to_string(item.attachments.size()) + " attachments are kept: a .msg file holds no more");
    }
    for (size_t i = 0; i < attachments; ++i) {
      if (!AttachmentStorage(storage, item.attachments[i], item.codePage, static_cast<uint32_t>(i))) return false;
    }
    std::string header(8, '\0');
    PutU32(header, static_cast<uint32_t>(recipients));
    PutU32(header, static_cast<uint32_t>(attachments));
    PutU32(header, static_cast<uint32_t>(recipients));
    PutU32(header, static_cast<uint32_t>(attachments));
    if (top) header.append(8, '\0');
    return PropertyStream(storage, std::move(header), entries);
  }

  // The named property mapping storage, once every message is written.
  bool NameIds(GsfOutfile* root) {
    Output dir(gsf_outfile_new_child(root, msg::kNameIdStorage, TRUE));
    if (!dir) return Fail("cannot create the named property storage");
    for (const auto& [name, bytes] : names_.Streams()) {
      if (!Stream(GSF_OUTFILE(dir.get()), name, bytes)) return false;
    }
    return Close(dir.get());
  }

 private:
  bool Fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    return false;
  }

  bool Close(GsfOutput* o) {
    if (gsf_output_close(o)) return true;
    const GError* e = gsf_output_error(o);
    return Fail(std::string("cannot write the file") + (e && e->message ? std::string(": ") + e->message : ""));
  }

  bool Count(uint64_t bytes) {
    written_ += bytes;
    if (written_ <= kContentLimit) return true;
    return Fail("the item needs more than the 2 GB a .msg file can hold");
  }

  bool Write(GsfOutput* o, std::string_view bytes) {
    if (!Count(bytes.size())) return false;
    if (bytes.empty() || gsf_output_write(o, bytes.size(), reinterpret_cast<const guint8*>(bytes.data()))) return true;
    return Fail("cannot write the file");
  }

  bool Stream(GsfOutfile* parent, const std::string& name, std::string_view bytes) {
    Output s(gsf_outfile_new_child(parent, name.c_str(), FALSE));
    if (!s) return Fail("cannot create the stream " + name);
    return Write(s.get(), bytes) && Close(s.get());
  }

  static Entry Fixed(uint32_t tag, uint32_t value) {
    Entry e;
    e.tag = tag;
    e.value.assign(8, '\0');
    for (int i = 0; i < 4; ++i) e.value[static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return e;
  }

  static std::string StreamName(uint32_t tag) { return Hex8("__substg1.0_", tag); }

  // An 8-bit text of the item's code page as UTF-16LE.
  std::string Unicode(std::string_view bytes, int codePage) {
    return msg::Utf16(decoder_.ToUtf8(AsBytes(bytes), codePage));
  }

  // The property streams of `raw` and their records in `entries`.
  bool Properties(GsfOutfile* storage, const std::vector<RawProperty>& raw, int codePage, std::vector<Entry>& entries) {
    size_t unnamed = 0;
    for (const RawProperty& p : raw) {
      uint16_t id = p.id;
      if (id >= 0x8000) {
        auto mapped = p.named ? names_.IdOf(p) : std::nullopt;
        if (!mapped) {
          ++unnamed;
          continue;
        }
        id = *mapped;
      }
      uint16_t type = p.type;
      if ((type & ~format::kPtypMultipleFlag) == format::kPtypString8) type = static_cast<uint16_t>((type & format::kPtypMultipleFlag) | format::kPtypString);
      const uint32_t tag = (uint32_t{id} << 16) | type;
      if (std::any_of(entries.begin(), entries.end(), [&](const Entry& e) { return e.tag >> 16 == id; })) continue;
      Entry e;
      e.tag = tag;
      if (p.value.size() == 8 && (type & format::kPtypMultipleFlag) == 0 && p.values.empty() && format::FixedWidth(type) != 0) {
        e.value = p.value;
      } else if (type == format::kPtypString) {
        const std::string text = p.type == format::kPtypString8 ? Unicode(p.value, codePage) : p.value;
        if (!Stream(storage, StreamName(tag), text)) return false;
        e.value = SizeValue(text.size() + 2);
      } else if (type == (format::kPtypMultipleFlag | format::kPtypString) || type == (format::kPtypMultipleFlag | format::kPtypBinary)) {
        std::string lengths;
        for (size_t i = 0; i < p.values.size(); ++i) {
          std::string v = p.values[i];
          if (type != (format::kPtypMultipleFlag | format::kPtypBinary)) {
            if (p.type == (format::kPtypMultipleFlag | format::kPtypString8)) v = Unicode(v, codePage);
            v.append(2, '\0');
          }
          PutU32(lengths, static_cast<uint32_t>(v.size()));
          if (type == (format::kPtypMultipleFlag | format::kPtypBinary)) PutU32(lengths, 0);
          if (!Stream(storage, StreamName(tag) + Hex8("-", static_cast<uint32_t>(i)), v)) return false;
        }
        if (!Stream(storage, StreamName(tag), lengths)) return false;
        e.value = SizeValue(lengths.size());
      } else {
        // Binary, GUID, other variable types, and fixed-size multi-valued
        // values (their values one after the other).
        if (!Stream(storage, StreamName(tag), p.value)) return false;
        e.value = SizeValue(p.value.size());
      }
      entries.push_back(std::move(e));
    }
    if (unnamed > 0) {
      problems_.push_back(std::to_string(unnamed) + " named propert" + (unnamed == 1 ? "y" : "ies") +
                          " without a name the store keeps left out");
    }
    return true;
  }

  static std::string SizeValue(uint64_t size) {
    std::string v;
    PutU32(v, static_cast<uint32_t>(std::min<uint64_t>(size, 0xFFFFFFFE)));
    PutU32(v, 0);
    return v;
  }

  bool PropertyStream(GsfOutfile* storage, std::string header, std::vector<Entry>& entries) {
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    std::string bytes = std::move(header);
    bytes.reserve(bytes.size() + entries.size() * 16);
    for (const Entry& e : entries) {
      PutU32(bytes, e.tag);
      PutU32(bytes, kReadableWritable);
      bytes += e.value;
    }
    return Stream(storage, "__properties_version1.0", bytes);
  }

  bool Recipient(GsfOutfile* message, const content::Recipient& r, int codePage, uint32_t index) {
    Output dir(gsf_outfile_new_child(message, Hex8("__recip_version1.0_#", index).c_str(), TRUE));
    if (!dir) return Fail("cannot create a recipient's storage");
    std::vector<Entry> entries;
    if (!Properties(GSF_OUTFILE(dir.get()), r.raw, codePage, entries)) return false;
    if (std::none_of(entries.begin(), entries.end(), [](const Entry& e) { return e.tag >> 16 == 0x3000; })) {
      entries.push_back(Fixed(0x30000003, index));
    }
    return PropertyStream(GSF_OUTFILE(dir.get()), std::string(8, '\0'), entries) && Close(dir.get());
  }

  bool AttachmentStorage(GsfOutfile* message, const Attachment& a, int codePage, uint32_t index) {
    Output dir(gsf_outfile_new_child(message, Hex8("__attach_version1.0_#", index).c_str(), TRUE));
    if (!dir) return Fail("cannot create an attachment's storage");
    GsfOutfile* storage = GSF_OUTFILE(dir.get());
    std::vector<Entry> entries;
    if (!Properties(storage, a.raw, codePage, entries)) return false;
    if (std::none_of(entries.begin(), entries.end(), [](const Entry& e) { return e.tag >> 16 == 0x0E21; })) {
      entries.push_back(Fixed(0x0E210003, index));
    }
    const std::string label = "attachment " + std::to_string(a.index + 1);
    // A damaged attachment is among the item's own problems.
    if (!a.readable) {
    } else if (a.isEmbeddedMessage()) {
      std::string why;
      auto inner = reader_.ReadEmbedded(a, MsgReadOptions(), &why);
      if (!inner) {
        problems_.push_back(label + " could not be read: " + why);
      } else {
        Output sub(gsf_outfile_new_child(storage, StreamName(kAttachDataObject).c_str(), TRUE));
        if (!sub) return Fail("cannot create an embedded message's storage");
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(sub.get()), kMessageClassId);
        if (!Message(GSF_OUTFILE(sub.get()), *inner, false) || !Close(sub.get())) return false;
        Entry e;
        e.tag = kAttachDataObject;
        e.value = std::string("\xFF\xFF\xFF\xFF\0\0\0\0", 8);
        entries.push_back(std::move(e));
        for (const auto& p : inner->problems) problems_.push_back(label + ": " + p);
      }
    } else {
      Output s(gsf_outfile_new_child(storage, StreamName(kAttachDataBinary).c_str(), FALSE));
      if (!s) return Fail("cannot create an attachment's stream");
      uint64_t size = 0;
      bool writeFailed = false;
      std::string why;
      const bool whole = reader_.ReadAttachment(a, [&](ByteSpan b) {
        if (!Write(s.get(), AsChars(b))) {
          writeFailed = true;
          return false;
        }
        size += b.size();
        return true;
      }, &why);
      if (writeFailed || !Close(s.get())) return false;
      // What could be read stays: a recovery keeps the part of a damaged attachment.
      if (!whole) problems_.push_back(label + " is cut short: " + why);
      Entry e;
      e.tag = kAttachDataBinary;
      e.value = SizeValue(size);
      entries.push_back(std::move(e));
    }
    return PropertyStream(storage, std::string(8, '\0'), entries) && Close(dir.get());
  }

  content::ItemReader& reader_;
  std::vector<std::string>& problems_;
  content::TextDecoder decoder_;
  msg::NameMap names_;
  uint64_t written_ = 0;
  std::string error_;
};

// Bytes of the attachments a message names, its embedded messages' not counted.
uint64_t AttachmentBytes(const Item& item) {
  uint64_t n = 0;
  for (const auto& a : item.attachments) {
    if (a.readable && !a.isEmbeddedMessage()) n += a.size;
  }
  return n;
}

}  // namespace

content::ReadOptions MsgReadOptions() {
  content::ReadOptions options;
  options.properties = false;
  options.raw = true;
  return options;
}

bool WriteMsg(content::ItemReader& reader, const Item& item, int fd, std::vector<std::string>& problems,
              std::string* error) {
  auto fail = [&](std::string why) {
    if (error) *error = std::move(why);
    return false;
  };
  if (AttachmentBytes(item) > kContentLimit) {
    return fail("the item's attachments need more than the 2 GB a .msg file can hold");
  }
  static std::once_flag once;
  std::call_once(once, [] { gsf_init(); });
  const int own = ::dup(fd);
  if (own < 0) return fail("cannot write the file");
  FILE* file = ::fdopen(own, "wb");
  if (!file) {
    ::close(own);
    return fail("cannot write the file");
  }
  // The sink closes `file` when it is closed.
  Output sink(gsf_output_stdio_new_FILE("item.msg", file, FALSE));
  if (!sink) {
    std::fclose(file);
    return fail("cannot write the file");
  }
  Output root(GSF_OUTPUT(gsf_outfile_msole_new(sink.get())));
  if (!root) return fail("cannot write the file");
  Writer writer(reader, problems);
  const bool ok = writer.Message(GSF_OUTFILE(root.get()), item, true) && writer.NameIds(GSF_OUTFILE(root.get()));
  if (!ok) return fail(writer.error().empty() ? "cannot write the file" : writer.error());
  // Closing the compound file closes its sink.
  if (!gsf_output_close(root.get())) return fail("cannot write the file");
  if (!gsf_output_is_closed(sink.get()) && !gsf_output_close(sink.get())) return fail("cannot write the file");
  return true;
}

std::optional<std::string> SaveMsg(content::ItemReader& reader, const Item& item, const std::string& path,
                                   std::vector<std::string>& problems, std::string* error) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  std::error_code ec;
  if (fs::exists(fs::symlink_status(target, ec))) {
    if (error) *error = path + " exists; it is not replaced";
    return std::nullopt;
  }
  const std::string dir = target.has_parent_path() ? target.parent_path().string() : std::string(".");
  auto out = OutputDir::Open(dir, error);
  auto file = out ? out->CreateFile(error) : std::nullopt;
  if (!file) return std::nullopt;
  std::string why;
  if (!file->WriteThrough([&](int fd) { return WriteMsg(reader, item, fd, problems, &why); })) {
    if (error) *error = why.empty() ? "cannot write " + path : why;
    return std::nullopt;
  }
  // Named as asked unless the name is not safe or was taken meanwhile.
  return file->Commit(target.filename().string(), "", "item.msg", error);
}

}  // namespace velmorix::exporting
