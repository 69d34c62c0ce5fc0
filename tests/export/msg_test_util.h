// A reader of written .msg files for the tests, from the published format:
// the compound file read back through libgsf, each storage's property
// stream parsed with its value streams, the named property mapping
// resolved; and the check that every property an item reader reads of an
// item (tag, type, value; named ones by name) is in the file.
#pragma once

#include <glib.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-utils.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "content/codepage.h"
#include "content/item_reader.h"
#include "export/msg.h"
#include "items/items.h"

namespace velmorix::exporting::testing {

struct CfbStorage {
  std::map<std::string, std::string> streams;
  std::map<std::string, CfbStorage> storages;
};

inline void ReadCfbChildren(GsfInfile* dir, CfbStorage& out) {
  const int n = gsf_infile_num_children(dir);
  for (int i = 0; i < n; ++i) {
    GsfInput* child = gsf_infile_child_by_index(dir, i);
    const std::string name = gsf_infile_name_by_index(dir, i);
    // Streams have no children list; storages do, even when empty.
    if (gsf_infile_num_children(GSF_INFILE(child)) >= 0) {
      ReadCfbChildren(GSF_INFILE(child), out.storages[name]);
    } else {
      std::string bytes(static_cast<size_t>(gsf_input_size(child)), '\0');
      if (!bytes.empty()) gsf_input_read(child, bytes.size(), reinterpret_cast<guint8*>(bytes.data()));
      out.streams[name] = std::move(bytes);
    }
    g_object_unref(child);
  }
}

// nullopt when the file is no compound file.
inline std::optional<CfbStorage> ReadCfb(const std::string& path) {
  gsf_init();
  GsfInput* in = gsf_input_stdio_new(path.c_str(), nullptr);
  if (!in) return std::nullopt;
  GsfInfile* ole = gsf_infile_msole_new(in, nullptr);
  g_object_unref(in);
  if (!ole) return std::nullopt;
  CfbStorage root;
  ReadCfbChildren(ole, root);
  g_object_unref(ole);
  return root;
}

inline uint32_t U32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && at + i < s.size(); ++i) v |= uint32_t{static_cast<uint8_t>(s[at + i])} << (8 * i);
  return v;
}

inline std::string Utf8(const std::string& utf16) {
  std::vector<gunichar2> w(utf16.size() / 2);
  for (size_t i = 0; i < w.size(); ++i) {
    w[i] = static_cast<gunichar2>(static_cast<uint8_t>(utf16[2 * i]) | (static_cast<uint8_t>(utf16[2 * i + 1]) << 8));
  }
  while (!w.empty() && w.back() == 0) w.pop_back();
  if (w.empty()) return {};
  gchar* s = g_utf16_to_utf8(w.data(), static_cast<glong>(w.size()), nullptr, nullptr, nullptr);
  std::string out = s ? s : "";
  g_free(s);
  return out;
}

// One property as the file holds it.
struct MsgValue {
  std::string value;                // fixed: 8 bytes; variable: the stream
  std::vector<std::string> values;  // multi-valued variable values (strings without their terminator)
};

// The properties of one storage by tag; faults (a size that does not match
// its stream, a missing stream) are added to `faults`.
inline std::map<uint32_t, MsgValue> MsgProperties(const CfbStorage& s, size_t headerSize,
                                                  std::vector<std::string>& faults) {
  std::map<uint32_t, MsgValue> out;
  auto it = s.streams.find("__properties_version1.0");
  if (it == s.streams.end()) {
    faults.push_back("no property stream");
    return out;
  }
  const std::string& ps = it->second;
  if (ps.size() < headerSize || (ps.size() - headerSize) % 16 != 0) faults.push_back("property stream size");
  for (size_t at = headerSize; at + 16 <= ps.size(); at += 16) {
    const uint32_t tag = U32(ps, at);
    const uint16_t type = tag & 0xFFFF;
    const uint32_t size = U32(ps, at + 8);
    char name[32];
    std::snprintf(name, sizeof name, "__substg1.0_%08X", tag);
    MsgValue v;
    const bool fixed = type == 0x2 || type == 0x3 || type == 0x4 || type == 0x5 || type == 0x6 || type == 0x7 ||
                       type == 0xA || type == 0xB || type == 0x14 || type == 0x40;
    if (fixed) {
      v.value = ps.substr(at + 8, 8);
    } else if (type == 0x000D) {
      if (!s.storages.count(name)) faults.push_back(std::string("no storage ") + name);
    } else {
      auto st = s.streams.find(name);
      if (st == s.streams.end()) {
        faults.push_back(std::string("no stream ") + name);
        continue;
      }
      v.value = st->second;
      const uint64_t expected = type == 0x1F ? v.value.size() + 2 : type == 0x1E ? v.value.size() + 1 : v.value.size();
      if (size != expected) faults.push_back(std::string("size of ") + name);
      if (type == 0x101F || type == 0x1102) {
        const size_t step = type == 0x1102 ? 8 : 4;
        for (size_t i = 0; i * step < v.value.size(); ++i) {
          char vname[48];
          std::snprintf(vname, sizeof vname, "%s-%08X", name, static_cast<unsigned>(i));
          auto vs = s.streams.find(vname);
          if (vs == s.streams.end() || vs->second.size() != U32(v.value, i * step)) {
            faults.push_back(std::string("value stream ") + vname);
            continue;
          }
          std::string value = vs->second;
          if (type == 0x101F && value.size() >= 2) value.resize(value.size() - 2);
          v.values.push_back(std::move(value));
        }
      }
    }
    out[tag] = std::move(v);
  }
  return out;
}

// Named property identity: (GUID, string, LID, name).
using MsgName = std::tuple<std::array<uint8_t, 16>, bool, uint32_t, std::string>;

inline std::map<MsgName, uint16_t> MsgNames(const CfbStorage& root) {
  std::map<MsgName, uint16_t> out;
  auto ns = root.storages.find("__nameid_version1.0");
  if (ns == root.storages.end()) return out;
  auto get = [&](const char* n) {
    auto it = ns->second.streams.find(n);
    return it == ns->second.streams.end() ? std::string() : it->second;
  };
  const std::string guids = get("__substg1.0_00020102"), entries = get("__substg1.0_00030102"),
                    strings = get("__substg1.0_00040102");
  for (size_t at = 0; at + 8 <= entries.size(); at += 8) {
    const uint32_t key = U32(entries, at);
    const uint32_t info = U32(entries, at + 4);
    const uint32_t guidIndex = (info & 0xFFFF) >> 1;
    std::array<uint8_t, 16> guid{};
    if (guidIndex == 1) guid = items::kPsMapi;
    if (guidIndex == 2) guid = items::kPsPublicStrings;
    if (guidIndex >= 3 && (guidIndex - 3) * 16 + 16 <= guids.size()) {
      for (size_t i = 0; i < 16; ++i) guid[i] = static_cast<uint8_t>(guids[(guidIndex - 3) * 16 + i]);
    }
    const bool isString = info & 1;
    std::string name;
    if (isString) name = Utf8(strings.substr(key + 4, U32(strings, key)));
    out[MsgName{guid, isString, isString ? 0 : key, name}] = static_cast<uint16_t>(0x8000 + (info >> 16));
  }
  return out;
}

// Checks that every raw property of `item` (and of its recipients,
// attachments and embedded messages) is in `storage` with its value.
class MsgCheck {
 public:
  MsgCheck(content::ItemReader& reader, const CfbStorage& root) : reader_(reader), names_(MsgNames(root)) {}

  void Message(const content::Item& item, const CfbStorage& s, size_t headerSize, const std::string& where) {
    Properties(item.raw, MsgProperties(s, headerSize, faults), item.codePage, where);
    for (size_t i = 0; i < item.recipients.size() && i < kMaxMsgRecipients; ++i) {
      const std::string name = Storage("__recip_version1.0_#", i);
      auto st = s.storages.find(name);
      if (st == s.storages.end()) {
        faults.push_back(where + ": no " + name);
        continue;
      }
      Properties(item.recipients[i].raw, MsgProperties(st->second, 8, faults), item.codePage, where + "/" + name);
    }
    for (size_t i = 0; i < item.attachments.size(); ++i) {
      const content::Attachment& a = item.attachments[i];
      const std::string name = Storage("__attach_version1.0_#", i);
      auto st = s.storages.find(name);
      if (st == s.storages.end()) {
        faults.push_back(where + ": no " + name);
        continue;
      }
      const auto props = MsgProperties(st->second, 8, faults);
      Properties(a.raw, props, item.codePage, where + "/" + name);
      if (!a.readable) continue;
      if (a.isEmbeddedMessage()) {
        auto inner = reader_.ReadEmbedded(a, MsgReadOptions());
        auto sub = st->second.storages.find("__substg1.0_3701000D");
        if (!inner || sub == st->second.storages.end()) {
          faults.push_back(where + "/" + name + ": no embedded message");
          continue;
        }
        Message(*inner, sub->second, 24, where + "/" + name);
        continue;
      }
      std::string bytes;
      reader_.ReadAttachment(a, [&](ByteSpan b) {
        bytes.append(AsChars(b));
        return true;
      });
      auto data = props.find(0x37010102);
      if (data == props.end() || data->second.value != bytes) faults.push_back(where + "/" + name + ": data");
    }
  }

  std::vector<std::string> faults;

 private:
  static std::string Storage(const char* prefix, size_t i) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s%08X", prefix, static_cast<unsigned>(i));
    return buf;
  }

  void Properties(const std::vector<content::RawProperty>& raw, const std::map<uint32_t, MsgValue>& props,
                  int codePage, const std::string& where) {
    for (const auto& p : raw) {
      uint16_t id = p.id;
      if (id >= 0x8000) {
        auto n = names_.find(MsgName{p.guid, p.stringNamed, p.stringNamed ? 0 : p.lid, p.stringNamed ? p.name : ""});
        if (!p.named || n == names_.end()) {
          faults.push_back(where + ": named property " + std::to_string(p.id) + " not mapped");
          continue;
        }
        id = n->second;
      }
      const bool eight = (p.type & 0x0FFF) == 0x1E;
      const uint16_t type = eight ? static_cast<uint16_t>((p.type & 0x1000) | 0x1F) : p.type;
      char tag[16];
      std::snprintf(tag, sizeof tag, "%04X%04X", id, type);
      auto it = props.find((uint32_t{id} << 16) | type);
      if (it == props.end()) {
        faults.push_back(where + ": no " + tag);
        continue;
      }
      const MsgValue& v = it->second;
      bool same;
      if (type == 0x1F) {
        same = Utf8(v.value) == (eight ? decoder_.ToUtf8(AsBytes(p.value), codePage) : Utf8(p.value));
      } else if (type == 0x101F) {
        same = v.values.size() == p.values.size();
        for (size_t i = 0; same && i < v.values.size(); ++i) {
          same = Utf8(v.values[i]) == (eight ? decoder_.ToUtf8(AsBytes(p.values[i]), codePage) : Utf8(p.values[i]));
        }
      } else if (type == 0x1102) {
        same = v.values == p.values;
      } else {
        same = v.value == p.value;
      }
      if (!same) faults.push_back(where + ": value of " + tag);
    }
  }

  content::ItemReader& reader_;
  std::map<MsgName, uint16_t> names_;
  content::TextDecoder decoder_;
};

// Writes `item` as .msg to `path`; empty on success, else the error.
inline std::string WriteMsgFile(content::ItemReader& reader, const content::Item& item, const std::string& path,
                                std::vector<std::string>* problems = nullptr) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return "cannot create " + path;
  std::vector<std::string> own;
  std::string error;
  const bool ok = WriteMsg(reader, item, fileno(f), problems ? *problems : own, &error);
  std::fclose(f);
  return ok ? std::string() : error.empty() ? std::string("failed") : error;
}

// Writes and reads back `item`, checking every property; the faults found.
inline std::vector<std::string> RoundTrip(content::ItemReader& reader, const content::Item& item,
                                          const std::string& path) {
  if (auto error = WriteMsgFile(reader, item, path); !error.empty()) return {error};
  auto root = ReadCfb(path);
  if (!root) return {"not a compound file"};
  MsgCheck check(reader, *root);
  check.Message(item, *root, 32, "");
  return check.faults;
}

}  // namespace velmorix::exporting::testing
