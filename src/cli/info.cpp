#include "cli/info.h"

#include <cstdio>
#include <iostream>
#include <string>

#include "cli/commands.h"
#include "cli/file_errors.h"
#include "format/vocabulary.h"
#include "items/items.h"
#include "store/store.h"

namespace velmorix::cli {

namespace {

const char* VariantName(store::Variant v) {
  switch (v) {
    case store::Variant::Ansi: return "ANSI";
    case store::Variant::Unicode: return "Unicode";
    case store::Variant::Unicode4K: return "Unicode 4K";
    default: return "unknown";
  }
}

const char* MethodName(int m) {
  switch (m) {
    case store::kEncodeNone: return "none";
    case store::kEncodePermute: return "permutation";
    case store::kEncodeCyclic: return "cyclic";
    default: return "unknown";
  }
}

std::string Hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace

int PrintStoreInfo(const std::string& path, std::ostream& out) {
  store::Store s;
  if (store::OpenStore(s, path) != 0) {
    const std::string reason = OpenFailureReason(path);
    ReportFileError(path, reason.empty() ? "cannot be opened" : reason);
    return 1;
  }
  if (const std::string reason = NotAStoreReason(s); !reason.empty()) {
    ReportFileError(path, reason);
    return 1;
  }
  const int loaded = store::LoadIndexes(s);
  const store::VariantLayout* layout = s.layout();
  size_t compressed = 0;
  for (const store::BlockEntry& e : s.data->blocks.entries()) compressed += e.compressed() ? 1 : 0;
  out << "file\t" << path << "\n"
      << "size\t" << s.fileSize() << "\n"
      << "variant\t" << VariantName(s.variant) << "\n"
      << "version\t" << s.version << "\n"
      << "page size\t" << (layout ? std::to_string(layout->pageSize) : std::string("unknown")) << "\n"
      << "encryption\t" << s.encryptionMethod << " (" << MethodName(s.encryptionMethod) << ")\n"
      << "block index root\t" << Hex(s.blockRootOffset) << "\n"
      << "node index root\t" << Hex(s.nodeRootOffset) << "\n"
      << "indexes\t" << (loaded == 0 ? "loaded" : "not loaded") << "\n"
      << "block entries\t" << s.data->blocks.size() << "\n"
      << "compressed block entries\t" << compressed << "\n"
      << "node entries\t" << s.data->nodes.createdCount() << "\n"
      << "block leaf level\t" << static_cast<int>(s.blockLeafLevel) << "\n"
      << "node leaf level\t" << static_cast<int>(s.nodeLeafLevel) << "\n"
      << "message store (NID 0x21)\t" << (store::FindNode(s, format::kNidMessageStore) ? "present" : "absent") << "\n"
      << "name-to-ID map (NID 0x61)\t" << (store::FindNode(s, format::kNidNameToIdMap) ? "present" : "absent") << "\n";

  items::NamedPropertyMap names;
  items::LoadNamedPropertyMap(s, names);
  out << "named properties\t" << names.size() << "\n";

  // The top folder, as a recovery finds it: from the store's IPM subtree
  // entry identifier, or the default NID when it carries none.
  items::ItemContext ctx(s, &names);
  auto root = items::BuildItem(ctx, s.data->nodes.head());
  std::string top = "none (no store information)";
  if (root && root->storeInfo) {
    uint32_t nid = format::kNidDefaultTopFolder;
    ByteView id{root->storeInfo->subtreeEntryId.bytes()};
    if (root->storeInfo->subtreeEntryId) nid = id.U32(20).value_or(0);
    top = Hex(nid) + (store::FindNode(s, nid) ? " (present)" : " (absent)");
  }
  out << "top folder\t" << top << "\n";
  return 0;
}

int RunInfo(int argc, char** argv) {
  Arguments args;
  if (const int status = ParseArguments(*FindCommand("info"), argc, argv, args); status != kRunCommand) {
    return status;
  }
  return PrintStoreInfo(args.operands[0], std::cout);
}

}  // namespace velmorix::cli
