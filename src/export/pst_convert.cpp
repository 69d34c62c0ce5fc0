#include "export/pst_convert.h"

#include <cstring>
#include <deque>
#include <map>
#include <random>

#include "pst/messaging.h"

namespace velmorix::exporting {
namespace {

constexpr uint32_t kMessageStoreNid = 0x21;

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
    if (auto store = reader_.Read(kMessageStoreNid, options_)) {
      for (const content::RawProperty& p : store->raw) {
        if (p.id == 0x0FF9 && p.value.size() == 16) {
          std::memcpy(uid_.data(), p.value.data(), 16);
          haveUid_ = true;
        }
        if (p.id == 0x3001 && p.type == 0x001F && !p.value.empty()) name = Utf16ToUtf8(p.value);
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

  pst::PropertyList Props(const std::vector<content::RawProperty>& raw, bool object) const {
    pst::PropertyList out;
    out.reserve(raw.size());
    for (const content::RawProperty& r : raw) {
      if (RefersToStore(r)) continue;
      // The object's own entry ID and its parent's name places in the source.
      if (object && (r.id == 0x0FFF || r.id == 0x0E09)) continue;
      pst::Property p;
      p.id = r.id;
      p.type = r.type;
      if (r.named) p.name = pst::PropertyName{r.guid, r.stringNamed, r.lid, r.name};
      p.value.resize(r.value.size());
      std::memcpy(p.value.data(), r.value.data(), r.value.size());
      out.push_back(std::move(p));
    }
    return out;
  }

  // The message to write for `item`; embedded messages are read into `keep`,
  // which must outlive the writing (the attachments stream from it).
  pst::Message ToMessage(const content::Item& item, std::deque<content::Item>& keep, std::vector<std::string>& problems) {
    pst::Message m;
    m.properties = Props(item.raw, true);
    for (const auto& r : item.rawRecipients) m.recipients.push_back(Props(r, false));
    for (const content::Attachment& a : item.attachments) {
      pst::Attachment out;
      out.properties = Props(a.raw, false);
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
  content::ReadOptions options_;
  std::array<uint8_t, 16> uid_{};
  bool haveUid_ = false;
  uint32_t wastebasket_ = 0;
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
  try {
    pst::PstWriter writer(options.destination, wo);
    // The folder tree: the first top-level folder is the top of the
    // personal folders; the source's wastebasket is the file's own.
    std::map<std::vector<std::string>, uint32_t> made;
    for (const TreeFolder& f : folders) {
      if (f.path.empty() || made.count(f.path)) continue;
      std::vector<std::string> parentPath(f.path.begin(), f.path.end() - 1);
      uint32_t nid = 0;
      if (f.path.size() == 1 && made.empty()) {
        nid = writer.top();
      } else {
        auto parent = made.find(parentPath);
        const uint32_t under = parent == made.end() ? writer.top() : parent->second;
        const bool wastebasket = (f.nodeId && f.nodeId == conv.wastebasket()) ||
                                 (f.path.size() == 2 && f.path.back() == "Deleted Items");
        pst::PropertyList props;
        if (f.nodeId) {
          if (auto source = reader.Read(f.nodeId, conv.options())) {
            props = conv.Props(source->raw, true);
            std::erase_if(props, [](const pst::Property& p) { return p.id == 0x6635 || p.id == 0x6636; });
          }
        }
        nid = writer.AddFolder(under, f.path.back(), std::move(props), wastebasket && under == writer.top());
      }
      made[f.path] = nid;
      ++result.foldersWritten;
    }

    size_t total = 0;
    for (const FolderItems& g : items) total += g.nodeIds.size();
    Progress p;
    p.itemsTotal = total;
    for (const FolderItems& g : items) {
      auto where = made.find(g.path);
      uint32_t folder = where != made.end() ? where->second : writer.top();
      if (where == made.end()) {
        // A listed folder the tree did not give: made below its nearest made ancestor.
        std::vector<std::string> prefix;
        for (const std::string& name : g.path) {
          prefix.push_back(name);
          auto it = made.find(prefix);
          folder = it != made.end() ? it->second : (made[prefix] = writer.AddFolder(folder, name));
        }
      }
      p.folder = Join(g.path);
      for (uint32_t nid : g.nodeIds) {
        std::string error;
        auto item = reader.Read(nid, conv.options(), &error);
        if (!item) {
          ++result.itemsFailed;
          result.failures.push_back({p.folder, nid, {}, error});
        } else {
          std::deque<content::Item> keep;
          std::vector<std::string> problems;
          const pst::Message m = conv.ToMessage(*item, keep, problems);
          writer.AddMessage(folder, m);
          ++result.itemsWritten;
          for (std::string& why : problems) result.warnings.push_back({p.folder, nid, item->subject, std::move(why)});
        }
        ++p.itemsDone;
        p.bytesWritten = writer.size();
        if (progress && !progress(p)) {
          result.cancelled = true;
          return result;  // the writer removes its temporary file
        }
      }
    }
    writer.Finish();
    result.bytesWritten = writer.size();
  } catch (const pst::WriteError& e) {
    result.error = e.what();
  }
  return result;
}

}  // namespace velmorix::exporting
