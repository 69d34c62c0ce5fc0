#include "export/pst_convert.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <random>

#include "content/codepage.h"
#include "export/msg_names.h"
#include "format/vocabulary.h"
#include "pst/messaging.h"

namespace velmorix::exporting {
namespace {

std::string Join(const std::vector<std::string>& path) {
  std::string s;
  for (const std::string& p : path) s += (s.empty() ? "" : "\\") + p;
  return s;
}

std::string Utf16ToUtf8(std::string_view b) {
  std::string out;
  for (size_t i = 0; i + 1 < b.size(); i += 2) {
    uint32_t u = static_cast<uint8_t>(b[i]) | (static_cast<uint32_t>(static_cast<uint8_t>(b[i + 1])) << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < b.size()) {
      const uint32_t lo = static_cast<uint8_t>(b[i + 2]) | (static_cast<uint32_t>(static_cast<uint8_t>(b[i + 3])) << 8);
      if (lo >= 0xDC00 && lo < 0xE000) {
        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        i += 2;
      }
    }
    content::AppendCodePoint(u, out);
  }
  return out;
}

class Converter {
 public:
  explicit Converter(content::ItemReader& reader) : reader_(reader) {
    options_.properties = false;
    options_.raw = true;
  }

  // The source store's identity (for entry IDs that point into it) and name.
  std::string ReadStore() {
    std::string name = "Personal Folders";
    if (auto store = reader_.Read(format::kNidMessageStore, options_)) {
      for (const content::RawProperty& p : store->raw) {
        if (p.id == 0x0FF9 && p.value.size() == 16) {
          std::memcpy(uid_.data(), p.value.data(), 16);
          haveUid_ = true;
        }
        if (p.id == 0x3001 && p.type == 0x001F && !p.value.empty()) name = Utf16ToUtf8(p.value);
        if (p.id == 0x3001 && p.type == 0x001E && !p.value.empty()) name = decoder_.ToUtf8(AsBytes(p.value), store->codePage);
        if (p.id == 0x35E3 && p.value.size() >= 24) {
          for (int i = 0; i < 4; ++i) wastebasket_ |= static_cast<uint32_t>(static_cast<uint8_t>(p.value[20 + i])) << (8 * i);
        }
      }
    }
    return name;
  }

  bool RefersToStore(const content::RawProperty& p) const {
    if (!haveUid_ || p.type != 0x0102 || p.value.size() < 24) return false;
    static constexpr char kZero[4] = {};
    return std::memcmp(p.value.data(), kZero, 4) == 0 && std::memcmp(p.value.data() + 4, uid_.data(), 16) == 0;
  }

  // The value as the file stores it: 8-bit texts (in the item's code page)
  // as Unicode, multi-valued variable values joined behind their count and
  // offsets.
  std::string Stored(const content::RawProperty& r, int codePage, uint16_t& type) {
    type = r.type;
    const bool eightBit = (r.type & ~format::kPtypMultipleFlag) == format::kPtypString8;
    if (eightBit) type = static_cast<uint16_t>((r.type & format::kPtypMultipleFlag) | format::kPtypString);
    auto text = [&](const std::string& v) { return eightBit ? msg::Utf16(decoder_.ToUtf8(AsBytes(v), codePage)) : v; };
    const uint16_t base = r.type & ~format::kPtypMultipleFlag;
    if (!(r.type & format::kPtypMultipleFlag) || (base != format::kPtypString8 && base != format::kPtypString && base != format::kPtypBinary)) return text(r.value);
    std::vector<std::string> values;
    for (const std::string& v : r.values) values.push_back(text(v));
    std::string out(4 + 4 * values.size(), '\0');
    auto put = [&](size_t at, uint32_t v) {
      for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(v >> (8 * i));
    };
    put(0, static_cast<uint32_t>(values.size()));
    for (size_t i = 0; i < values.size(); ++i) {
      put(4 + 4 * i, static_cast<uint32_t>(out.size()));
      out += values[i];
    }
    return out;
  }

  pst::PropertyList Props(const std::vector<content::RawProperty>& raw, bool object, int codePage) {
    pst::PropertyList out;
    out.reserve(raw.size());
    for (const content::RawProperty& r : raw) {
      if (RefersToStore(r)) continue;
      // The object's own entry ID and its parent's name places in the source.
      if (object && (r.id == 0x0FFF || r.id == 0x0E09)) continue;
      pst::Property p;
      p.id = r.id;
      if (r.named) p.name = pst::PropertyName{r.guid, r.stringNamed, r.lid, r.name};
      const std::string value = Stored(r, codePage, p.type);
      p.value.resize(value.size());
      // An empty value has no storage to copy from (memcpy takes no null).
      if (!value.empty()) std::memcpy(p.value.data(), value.data(), value.size());
      out.push_back(std::move(p));
    }
    return out;
  }

  // The message to write for `item`; embedded messages are read into `keep`,
  // which must outlive the writing (the attachments stream from it).
  pst::Message ToMessage(const content::Item& item, std::deque<content::Item>& keep, std::vector<std::string>& problems) {
    pst::Message m;
    m.properties = Props(item.raw, true, item.codePage);
    for (const auto& r : item.recipients) m.recipients.push_back(Props(r.raw, false, item.codePage));
    for (const content::Attachment& a : item.attachments) {
      pst::Attachment out;
      out.properties = Props(a.raw, false, item.codePage);
      if (a.isEmbeddedMessage() && a.readable) {
        std::string error;
        if (auto inner = reader_.ReadEmbedded(a, options_, &error)) {
          keep.push_back(std::move(*inner));
          out.embedded = std::make_unique<pst::Message>(ToMessage(keep.back(), keep, problems));
        } else {
          problems.push_back("an embedded message cannot be read: " + error);
        }
      } else if (a.readable && (a.source.kind == content::AttachmentSource::Kind::Inline ||
                                a.source.kind == content::AttachmentSource::Kind::Blocks)) {
        const content::Attachment* src = &a;
        out.data = [this, src, &problems](const std::function<void(pst::ByteRange)>& sink) {
          std::string error;
          const bool whole = reader_.ReadAttachment(*src, [&](ByteSpan piece) {
            sink(piece);
            return true;
          }, &error);
          if (!whole) problems.push_back("attachment \"" + src->fileName + "\": " + error);
          return whole;
        };
      } else if (a.damaged) {
        problems.push_back("attachment \"" + a.fileName + "\": " + a.problem);
      }
      m.attachments.push_back(std::move(out));
    }
    return m;
  }

  const content::ReadOptions& options() const { return options_; }
  uint32_t wastebasket() const { return wastebasket_; }

 private:
  content::ItemReader& reader_;
  content::TextDecoder decoder_;
  content::ReadOptions options_;
  std::array<uint8_t, 16> uid_{};
  bool haveUid_ = false;
  uint32_t wastebasket_ = 0;
};

}  // namespace

namespace {

// The name of part `n` (1-based) of a split conversion: NAME.pst, NAME-2.pst, ...
std::string PartName(const std::string& destination, size_t n) {
  if (n == 1) return destination;
  const size_t slash = destination.rfind('/');
  const size_t dot = destination.rfind('.');
  const bool ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (ext ? destination.substr(0, dot) : destination) + "-" + std::to_string(n) + (ext ? destination.substr(dot) : "");
}

// One file of the conversion: a writer with the whole folder tree made.
struct Part {
  std::unique_ptr<pst::PstWriter> writer;
  std::map<std::vector<std::string>, uint32_t> made;
  size_t items = 0;
};

}  // namespace

PstResult ConvertToPst(content::ItemReader& reader, const std::vector<TreeFolder>& folders,
                       const std::vector<FolderItems>& items, const PstOptions& options,
                       const ProgressCallback& progress) {
  PstResult result;
  Converter conv(reader);
  pst::WriterOptions wo;
  wo.encoding = options.encoding;
  wo.storeName = conv.ReadStore();
  std::random_device rd;
  for (auto& b : wo.recordKey) b = static_cast<uint8_t>(rd());

  // Source folder properties, read once for every part.
  std::vector<pst::PropertyList> folderProps(folders.size());
  for (size_t i = 0; i < folders.size(); ++i) {
    if (!folders[i].nodeId) continue;
    if (auto source = reader.Read(folders[i].nodeId, conv.options())) {
      folderProps[i] = conv.Props(source->raw, true, source->codePage);
      std::erase_if(folderProps[i], [](const pst::Property& p) { return p.id == 0x6635 || p.id == 0x6636; });
    }
  }

  std::vector<std::string> done;  // completed parts, removed again if the conversion fails
  auto start = [&](Part& part) {
    part = Part{};
    part.writer = std::make_unique<pst::PstWriter>(PartName(options.destination, done.size() + 1), wo);
    pst::PstWriter& writer = *part.writer;
    // The first top-level folder is the top of the personal folders; the
    // source's wastebasket is the file's own.
    for (size_t i = 0; i < folders.size(); ++i) {
      const TreeFolder& f = folders[i];
      if (f.path.empty() || part.made.count(f.path)) continue;
      uint32_t nid = 0;
      if (f.path.size() == 1 && part.made.empty()) {
        nid = writer.top();
      } else {
        auto parent = part.made.find(std::vector<std::string>(f.path.begin(), f.path.end() - 1));
        const uint32_t under = parent == part.made.end() ? writer.top() : parent->second;
        const bool wastebasket = (f.nodeId && f.nodeId == conv.wastebasket()) ||
                                 (f.path.size() == 2 && f.path.back() == "Deleted Items");
        nid = writer.AddFolder(under, f.path.back(), folderProps[i], wastebasket && under == writer.top());
      }
      part.made[f.path] = nid;
    }
    result.foldersWritten = std::max(result.foldersWritten, part.made.size());
  };
  auto finish = [&](Part& part) {
    part.writer->Finish();
    result.bytesWritten += part.writer->size();
    done.push_back(PartName(options.destination, done.size() + 1));
    part.writer.reset();
  };
  auto undo = [&] {
    for (const std::string& f : done) std::remove(f.c_str());
    result.files.clear();
    result.bytesWritten = 0;
  };

  try {
    Part part;
    start(part);
    size_t total = 0;
    for (const FolderItems& g : items) total += g.nodeIds.size();
    Progress p;
    p.itemsTotal = total;
    uint64_t perItem = 0;  // bytes an item took so far, on average
    // A folder's tables are written after the last of its lists.
    std::map<std::vector<std::string>, size_t> lastList;
    for (size_t i = 0; i < items.size(); ++i) lastList[items[i].path] = i;
    const std::vector<std::string>* lastPath = nullptr;
    for (size_t gi = 0; gi < items.size(); ++gi) {
      const FolderItems& g = items[gi];
      // A new file before a folder that would not fit, and within a folder
      // larger than what is left.
      const bool newFolder = !lastPath || *lastPath != g.path;
      lastPath = &g.path;
      auto full = [&](size_t coming) {
        return options.maxSize && part.items > 0 &&
               part.writer->EstimatedSize() + perItem * coming > options.maxSize;
      };
      if (newFolder && full(g.nodeIds.size())) {
        finish(part);
        start(part);
      }
      auto folderOf = [&] {
        auto where = part.made.find(g.path);
        if (where != part.made.end()) return where->second;
        // A listed folder the tree did not give: made below its nearest made ancestor.
        uint32_t folder = part.writer->top();
        std::vector<std::string> prefix;
        for (const std::string& name : g.path) {
          prefix.push_back(name);
          auto it = part.made.find(prefix);
          folder = it != part.made.end() ? it->second : (part.made[prefix] = part.writer->AddFolder(folder, name));
        }
        return folder;
      };
      p.folder = Join(g.path);
      for (uint32_t nid : g.nodeIds) {
        if (full(1)) {
          finish(part);
          start(part);
        }
        std::string error;
        auto item = reader.Read(nid, conv.options(), &error);
        if (!item) {
          ++result.itemsFailed;
          result.failures.push_back({p.folder, nid, {}, error});
        } else {
          std::deque<content::Item> keep;
          std::vector<std::string> problems;
          const pst::Message m = conv.ToMessage(*item, keep, problems);
          const uint64_t before = part.writer->EstimatedSize();
          part.writer->AddMessage(folderOf(), m);
          ++part.items;
          ++result.itemsWritten;
          const uint64_t took = part.writer->EstimatedSize() - before;
          perItem = (perItem * (result.itemsWritten - 1) + took) / result.itemsWritten;
          for (std::string& why : problems) result.warnings.push_back({p.folder, nid, item->subject, std::move(why)});
        }
        ++p.itemsDone;
        p.bytesWritten = result.bytesWritten + part.writer->size();
        if (progress && !progress(p)) {
          result.cancelled = true;
          undo();
          return result;  // the writer removes its temporary file
        }
      }
      if (lastList[g.path] == gi) {
        if (auto made = part.made.find(g.path); made != part.made.end()) part.writer->CloseFolder(made->second);
      }
    }
    finish(part);
    result.files = done;
  } catch (const pst::WriteError& e) {
    result.error = e.what();
    undo();
  }
  return result;
}

}  // namespace velmorix::exporting
