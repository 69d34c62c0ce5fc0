// Messaging layer of a Unicode personal-folders file: the message store,
// the named-property map, the nodes every such file has, folders with their
// hierarchy, contents and associated-contents tables, and messages with
// their recipients and attachments (embedded messages nested).
//
// Messages are written as they are added; folders and their tables when the
// writer finishes, since they count their children.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "pst/ltp.h"

namespace velmorix::pst {

// The name of a named property: a property set and a number or a string.
struct PropertyName {
  std::array<uint8_t, 16> guid{};
  bool isString = false;
  uint32_t lid = 0;
  std::string name;  // UTF-8
  bool operator<(const PropertyName& o) const {
    return std::tie(guid, isString, lid, name) < std::tie(o.guid, o.isString, o.lid, o.name);
  }
};

// A property: fixed-size values little-endian, strings UTF-16LE without a
// terminator, multi-valued ones in the stored layout. Named properties give
// their name; their id is chosen by the writer.
struct Property {
  uint16_t id = 0;
  uint16_t type = 0;
  std::optional<PropertyName> name;
  Bytes value;
};
using PropertyList = std::vector<Property>;

// Hands the bytes of an attachment to the sink piece by piece; false when
// they could not be read whole.
using DataSource = std::function<bool(const std::function<void(ByteRange)>& sink)>;

struct Message;

struct Attachment {
  PropertyList properties;  // without the data (0x3701)
  DataSource data;          // by-value data, if any
  std::unique_ptr<Message> embedded;
};

struct Message {
  PropertyList properties;
  std::vector<PropertyList> recipients;
  std::vector<Attachment> attachments;
};

struct WriterOptions {
  Encoding encoding = Encoding::Permute;
  std::string storeName = "Personal Folders";
  // 16 bytes identifying the new store in its entry IDs.
  std::array<uint8_t, 16> recordKey{};
};

class PstWriter {
 public:
  // Starts the file; throws WriteError when it cannot (the file exists, the
  // folder cannot be written).
  PstWriter(const std::string& path, WriterOptions options);
  ~PstWriter();
  PstWriter(const PstWriter&) = delete;
  PstWriter& operator=(const PstWriter&) = delete;

  // The top of the personal folders.
  uint32_t top() const;
  // A folder below `parent` with its own properties (the name and the
  // counts are set by the writer). Gives its id. The first folder added as
  // the wastebasket is the file's Deleted Items; a file given none gets an
  // empty one below the top when it is finished.
  uint32_t AddFolder(uint32_t parent, std::string_view name, PropertyList properties = {},
                     bool wastebasket = false);
  // Writes a message into `folder` (an associated one into its associated
  // contents). A data source that fails is reported in `incomplete`.
  void AddMessage(uint32_t folder, const Message& message, bool associated = false, bool* incomplete = nullptr);
  // Writes the contents tables of a folder that gets no more messages and
  // lets their rows go, so that memory does not grow with the file's items.
  // Folders not closed are closed by Finish(); a message added to a closed
  // folder is refused (WriteError).
  void CloseFolder(uint32_t folder);
  uint64_t size() const;
  // What the file would take if finished now: its blocks, indexes, folder
  // tables and the rest of its last allocation-map interval.
  uint64_t EstimatedSize() const;
  // Writes the folders, the maps and the header and names the file.
  void Finish();

 private:
  struct Folder;
  struct Written;
  Written WriteMessage(const Message& m, int depth, bool* incomplete);
  std::vector<PcProperty> Map(const PropertyList& list);
  uint16_t IdOf(const PropertyName& name);
  uint32_t NewNid(uint8_t type);
  void WriteFolder(Folder& f);
  void WriteStore();
  void WriteNameMap();
  void WriteTemplates();

  WriterOptions options_;
  std::unique_ptr<NodeDatabase> db_;
  NidCounters counters_{};
  std::vector<std::unique_ptr<Folder>> folders_;
  std::map<uint32_t, Folder*> byNid_;
  std::map<PropertyName, uint16_t> names_;
  std::vector<const PropertyName*> nameOrder_;
  uint32_t top_ = 0, deleted_ = 0, searchRoot_ = 0;
  uint64_t openRowBytes_ = 0;  // rows of open folders' tables, for EstimatedSize()
};

}  // namespace velmorix::pst
