// Reads items in full, on demand, by node id.
//
// A reader opens the store file itself: either loading the indexes and the
// named-property map on its own, or reusing ones already loaded (a finished
// or running recovery's), which it only reads. It keeps its own file handle
// and its own subnode lists, so it may be used on one thread while a scan
// runs on another over the same loaded indexes. One reader serves one thread
// at a time; several readers may be open at once.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "content/codepage.h"
#include "content/item.h"
#include "items/items.h"
#include "store/store.h"

namespace velmorix::content {

struct ReadOptions {
  bool properties = true;  // fill Item::properties (a properties view)
  // Value bytes shown per property; longer values are shown cut.
  size_t propertyBytesShown = 4096;
  // Fill the `raw` properties of the item, its recipients and attachments.
  bool raw = false;
  // Read only what a search of message text looks at: the bodies (the plain
  // text alone when it is stored) and the attachments' names. No other
  // field, no recipient, no attachment's data or other property is read.
  bool searchText = false;
};

// Raw values larger than this are left out (and named in Item::problems).
inline constexpr uint64_t kMaxRawValueBytes = 256u << 20;

// Messages embedded deeper than this are not read.
inline constexpr int kMaxEmbeddingDepth = 16;

class ItemReader {
 public:
  // Opens `path` and loads its indexes and named-property map. nullptr when
  // the file cannot be opened or holds no index; `error` says why.
  static std::unique_ptr<ItemReader> Open(const std::string& path, std::string* error = nullptr);
  // Opens `path` for reading over indexes and a map already loaded from it.
  // Takes no lock on the file; `names` must outlive the reader (null: no
  // named properties).
  static std::unique_ptr<ItemReader> Open(const std::string& path,
                                          std::shared_ptr<const store::StoreData> data,
                                          const items::NamedPropertyMap* names,
                                          std::string* error = nullptr);
  ~ItemReader();
  ItemReader(const ItemReader&) = delete;
  ItemReader& operator=(const ItemReader&) = delete;

  store::Variant variant() const { return store_.variant; }

  // True when the node tree holds `nid`.
  bool Contains(uint32_t nid) const;

  // Reads the item of node `nid`. nullopt when there is no such node or its
  // properties cannot be read (`error` says which); damage within a readable
  // item is reported in Item::problems and on the parts it touches.
  std::optional<Item> Read(uint32_t nid, const ReadOptions& options = {},
                           std::string* error = nullptr);

  // Reads the message embedded in an attachment of an item this reader read.
  std::optional<Item> ReadEmbedded(const Attachment& attachment, const ReadOptions& options = {},
                                   std::string* error = nullptr);

  // Hands an attachment's bytes to `sink` in pieces of at most one block.
  // False when they cannot be read whole (the sink may have had a part) or
  // the sink returned false. An embedded message has no bytes.
  bool ReadAttachment(const Attachment& attachment, const std::function<bool(ByteSpan)>& sink,
                      std::string* error = nullptr);
  // The same into one buffer; nullopt also when the data exceeds `maxBytes`.
  std::optional<Buffer> ReadAttachmentBytes(const Attachment& attachment, uint64_t maxBytes,
                                            std::string* error = nullptr);

 private:
  ItemReader();
  struct Node;
  std::optional<Item> ReadNode(const Node& node, const ReadOptions& options, std::string* error);
  int StoreCodePage();

  store::Store store_;
  items::NamedPropertyMap ownNames_;
  const items::NamedPropertyMap* names_ = nullptr;
  TextDecoder decoder_;
  std::optional<int> storeCodePage_;
};

}  // namespace velmorix::content
