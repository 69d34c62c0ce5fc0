// A mailbox written in the 4 KiB-page variant recovers exactly as the same
// mailbox written in the Unicode variant: same status lines, folders, lists
// and rows, for every mailbox option the builder takes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include "cli/recover.h"
#include "format/vocabulary.h"
#include "storebuilder/mailbox.h"
#include "storebuilder/sample_mailboxes.h"

namespace velmorix::storebuilder {
namespace {

struct TwinCase {
  const char* name;
  std::function<void(MailboxOptions&)> options;
  std::function<void(MailboxBuilder&)> content;
};

void Demo(MailboxBuilder& b) { AddDemoMailbox(b); }

void Benchmark(MailboxBuilder& b) {
  BenchmarkShape s;
  s.folders = 3;
  s.mailsPerFolder = 20;
  s.bodySize = 5000;
  s.headerSize = 300;
  s.attachmentEvery = 3;
  s.bodyInSubnodeEvery = 2;
  AddBenchmarkMailbox(b, s);
}

// One folder whose tables and items outgrow single blocks of either variant:
// a contents table whose heap spans several 64 KiB blocks, a mail whose
// property context does too, a body over an XXBLOCK tree, an attachment of
// several blocks.
void Large(MailboxBuilder& b) {
  FolderOptions o;
  o.containerClass = "IPF.Note";
  const uint32_t folder = b.AddFolder(b.topFolder(), "Archive", o);
  for (int i = 0; i < 1200; ++i) {
    MailFields m;
    m.subject = "Archived mail number " + std::to_string(i) + std::string(i % 40, '.');
    m.senderName = "Sender " + std::to_string(i % 13);
    m.displayTo = "Recipient " + std::to_string(i % 7);
    m.deliveryTime = FileTime(2023, 1 + i % 12, 1 + i % 28, i % 24);
    m.messageFlags = i % 3 ? 1 : 0;
    b.AddItem(folder, MakeMail(m));
  }
  MailFields big;
  big.subject = "Large body";
  big.senderName = "Big Sender";
  big.body = std::string(200000, 'x');
  Item item = MakeMail(big);
  item.props.Place(0x1000, Placement::Subnode, 2);
  // Unlisted properties that sort first fill a whole heap block of either
  // variant: the subject and sender the row shows come from a later block.
  for (uint16_t id = 0x0003; id <= 0x0016; ++id) item.props.Text(id, std::string(1700, 'f'));
  Attachment a;
  a.fileName = "large.bin";
  a.data.resize(150000);
  for (size_t i = 0; i < a.data.size(); ++i) a.data[i] = std::byte((i * 7919) >> 3);
  item.attachments.push_back(a);
  b.AddItem(folder, item);
}

// The exit status and the tsv records of a recovery.
std::string Recover(const std::string& path) {
  std::ostringstream out;
  const int status = cli::Recover(path, cli::OutputFormat::Tsv, out);
  return "exit " + std::to_string(status) + "\n" + out.str();
}

class Twins : public ::testing::TestWithParam<TwinCase> {};

TEST_P(Twins, RecoverTheSame) {
  const TwinCase& c = GetParam();
  std::string outputs[2];
  for (int i = 0; i < 2; ++i) {
    MailboxOptions o;
    c.options(o);
    o.ndb.format = i == 0 ? Format::Unicode23 : Format::Unicode4K;
    MailboxBuilder b(o);
    c.content(b);
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("vx_twin_" + std::to_string(::getpid()) + "_" + c.name + std::to_string(i) + ".ost"))
                                 .string();
    b.Write(path);
    outputs[i] = Recover(path);
    std::filesystem::remove(path);
  }
  EXPECT_NE(outputs[0].find("\nsummary\t"), std::string::npos) << outputs[0];
  EXPECT_EQ(outputs[1], outputs[0]);
}

auto Keep = [](MailboxOptions&) {};

INSTANTIATE_TEST_SUITE_P(
    MailboxOptions, Twins,
    ::testing::Values(
        TwinCase{"demo", Keep, Demo},
        TwinCase{"benchmark", Keep, Benchmark},
        TwinCase{"large", Keep, Large},
        TwinCase{"unencrypted", [](MailboxOptions& o) { o.ndb.encryption = 0; }, Demo},
        TwinCase{"cyclic", [](MailboxOptions& o) { o.ndb.encryption = 2; }, Benchmark},
        TwinCase{"uncompressed", [](MailboxOptions& o) { o.ndb.compress = false; }, Large},
        TwinCase{"offlineFolders", [](MailboxOptions& o) { o.ndb.offlineFolders = true; }, Demo},
        TwinCase{"deepTrees",
                 [](MailboxOptions& o) {
                   o.ndb.nodeLeafFill = 3;
                   o.ndb.blockLeafFill = 4;
                   o.ndb.intermediateFill = 3;
                   o.ndb.minNodeLevels = 4;
                   o.ndb.minBlockLevels = 5;
                 },
                 Demo},
        TwinCase{"rowsInSubnodes", [](MailboxOptions& o) { o.tables.rowsInSubnode = true; }, Demo},
        TwinCase{"smallHeapItems", [](MailboxOptions& o) { o.tables.maxItemBytes = 200; }, Large},
        TwinCase{"noContentsRows", [](MailboxOptions& o) { o.contentsRows = false; }, Benchmark},
        TwinCase{"noTemplatesNoNameMap",
                 [](MailboxOptions& o) {
                   o.templates = false;
                   o.nameMap = false;
                 },
                 Demo},
        TwinCase{"noSpecialFolders",
                 [](MailboxOptions& o) {
                   o.deletedItems = false;
                   o.searchRoot = false;
                 },
                 Demo},
        TwinCase{"renamedStore",
                 [](MailboxOptions& o) {
                   o.storeName = "Archive";
                   o.topFolderName = "Oberste Ebene";
                   o.storeProps.Long(0x35DF, 0xFF);
                 },
                 Demo},
        TwinCase{"noSubtreeEntry", [](MailboxOptions& o) { o.subtreeEntryNid = std::nullopt; }, Demo},
        TwinCase{"hostileNameMap",
                 [](MailboxOptions& o) {
                   o.nameMapProperties = std::vector<PcProperty>{{0x0001, format::kPtypInteger32, Buffer(4, std::byte{5})}};
                 },
                 Demo}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmorix::storebuilder
