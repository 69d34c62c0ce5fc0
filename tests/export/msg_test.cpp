// Items written as .msg files and read back: every property the item reader
// reads is in the file with its value (named ones under the file's own IDs
// by name), for every kind of item of both store variants; hostile shapes
// (a thousand recipients, deep embedding, hostile names) stay bounded; the
// command line's export and show write whole files without replacing any.
#include <sstream>

#include "../content/content_test_util.h"
#include "cli/export.h"
#include "cli/recover.h"
#include "cli/show.h"
#include "export_test_util.h"
#include "msg_test_util.h"

namespace velmorix::exporting::testing {
namespace {

namespace sb = velmorix::storebuilder;
using content::testing::Bytes;
using content::testing::TempPath;
using content::testing::TempPathGuard;

sb::Item Mail(std::string subject, std::string body = {}) {
  sb::MailFields f;
  f.subject = std::move(subject);
  f.body = std::move(body);
  return sb::MakeMail(f);
}

struct Mailbox {
  std::vector<uint32_t> mails, others;
  uint32_t crowded = 0, deep = 0;
};

Mailbox Build(sb::MailboxBuilder& mb) {
  Mailbox m;
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  sb::MailFields f;
  f.subject = "R\xC3\xA9sum\xC3\xA9 with everything";
  f.senderName = "Zo\xC3\xAB";
  f.senderEmail = "zoe@example.com";
  f.body = "plain body";
  f.html = "<p>html</p>";
  f.rtf = "{\\rtf1 rtf body}";
  sb::Item mail = sb::MakeMail(f);
  mail.props.NamedText(sb::PropertyName::String(sb::kPsInternetHeaders, "x-custom"), "custom value");
  mail.props.NamedLong(sb::PropertyName::Lid(sb::kPsetidCommon, 0x8510), 7);
  mail.props.NamedBool(sb::PropertyName::Lid(sb::kPsMapi, 0x0E1B), true);
  // Categories: a multi-valued string (count, offsets, UTF-16LE values).
  Buffer categories = Bytes(std::string("\x02\0\0\0\x0C\0\0\0\x12\0\0\0R\0e\0d\0B\0l\0u\0e\0", 26));
  mail.props.NamedRaw(sb::PropertyName::String(sb::kPsPublicStrings, "Keywords"), 0x101F, categories);
  mail.props.Raw(0x0E08, 0x0014, Bytes(std::string("\x10\x27\0\0\0\0\0\0", 8)));
  mail.recipients = {{"Ann", "ann@example.com", 1}, {"B\xC3\xB6", "bo@example.com", 2},
                     {"Exchange Only", "/O=ORG/CN=X", 3, "EX"}};
  sb::Attachment big;
  big.fileName = "../../etc/passwd";
  for (int i = 0; i < 20000; ++i) big.data.push_back(std::byte(i * 7));
  big.dataPlacement = sb::Placement::Subnode;
  sb::Attachment hostile;
  hostile.fileName = std::string("con\x01:*?\"<>|.txt");
  hostile.data = Bytes("tiny");
  hostile.size = 0xFFFFFFF0u;  // a stored size the data does not have
  auto inner = std::make_shared<sb::Item>(Mail("inner", "inner body"));
  sb::Attachment innerFile;
  innerFile.fileName = "inner.txt";
  innerFile.data = Bytes("inner bytes");
  inner->attachments = {innerFile};
  inner->recipients = {{"In", "in@example.com", 1}};
  sb::Attachment message;
  message.fileName = "inner";
  message.embedded = inner;
  mail.attachments = {big, hostile, message};
  m.mails.push_back(mb.AddItem(inbox, mail));

  sb::Item crowded = Mail("a thousand recipients", "many");
  for (int i = 0; i < 1000; ++i) {
    crowded.recipients.emplace_back("R" + std::to_string(i), "r" + std::to_string(i) + "@example.com", 1 + i % 3);
  }
  m.crowded = mb.AddItem(inbox, crowded);
  m.mails.push_back(m.crowded);

  // Twenty levels of embedded messages: the reader reads as deep as it nests.
  auto level = std::make_shared<sb::Item>(Mail("level 20", "bottom"));
  for (int depth = 19; depth >= 0; --depth) {
    auto outer = std::make_shared<sb::Item>(Mail("level " + std::to_string(depth)));
    sb::Attachment a;
    a.fileName = "down";
    a.embedded = level;
    outer->attachments = {a};
    level = outer;
  }
  m.deep = mb.AddItem(inbox, *level);
  m.mails.push_back(m.deep);

  const uint32_t other = mb.AddFolder(mb.topFolder(), "Other");
  sb::ContactFields cf;
  cf.displayName = "Ada Lovelace";
  cf.fileUnder = "Lovelace, Ada";
  cf.givenName = "Ada";
  cf.surname = "Lovelace";
  cf.email = "ada@example.com";
  sb::Item contact = sb::MakeContact(cf);
  m.others.push_back(mb.AddItem(other, contact));
  m.others.push_back(mb.AddItem(other, sb::MakeAppointment({"Standup", "Room 1", "", sb::kDefaultTime, sb::kDefaultTime + 9000000000ull, 2})));
  m.others.push_back(mb.AddItem(other, sb::MakeTask({"Write", "task body", sb::FileTime(2024, 6, 1), 2, true})));
  m.others.push_back(mb.AddItem(other, sb::MakeStickyNote({"", "note text", 2})));
  m.others.push_back(mb.AddItem(other, sb::MakeJournal({"Call", "journal body", "Phone call"})));
  return m;
}

class MsgTest : public ::testing::TestWithParam<sb::Format> {};

TEST_P(MsgTest, EveryPropertyOfEveryKindIsInTheFile) {
  sb::MailboxBuilder mb(content::testing::Options(GetParam()));
  const Mailbox m = Build(mb);
  content::testing::Written w(mb);
  TempPathGuard out(TempPath("msg", ".msg"));
  std::vector<uint32_t> all = m.mails;
  all.insert(all.end(), m.others.begin(), m.others.end());
  for (uint32_t nid : all) {
    SCOPED_TRACE(nid);
    const content::Item item = w.Read(nid, MsgReadOptions());
    EXPECT_GT(item.raw.size(), 5u);
    EXPECT_EQ(RoundTrip(*w.reader, item, out.path()), std::vector<std::string>{});
  }
  // The named properties are found by name: the category values.
  auto item = w.Read(m.mails[0], MsgReadOptions());
  ASSERT_TRUE(WriteMsgFile(*w.reader, item, out.path()).empty());
  auto root = ReadCfb(out.path());
  ASSERT_TRUE(root);
  const auto names = MsgNames(*root);
  auto keywords = names.find(MsgName{items::kPsPublicStrings, true, 0, "Keywords"});
  ASSERT_NE(keywords, names.end());
  std::vector<std::string> faults;
  const auto props = MsgProperties(*root, 32, faults);
  auto values = props.find((uint32_t{keywords->second} << 16) | 0x101F);
  ASSERT_NE(values, props.end());
  ASSERT_EQ(values->second.values.size(), 2u);
  EXPECT_EQ(Utf8(values->second.values[1]), "Blue");
  EXPECT_EQ(faults, std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Variants, MsgTest, ::testing::Values(sb::Format::Unicode23, sb::Format::Ansi15));

TEST(Msg, HostileShapesStayBounded) {
  sb::MailboxBuilder mb(content::testing::Options());
  const Mailbox m = Build(mb);
  content::testing::Written w(mb);
  TempPathGuard out(TempPath("msg", ".msg"));

  // A thousand recipients: every one in its own storage.
  auto crowded = w.Read(m.crowded, MsgReadOptions());
  ASSERT_EQ(crowded.recipients.size(), 1000u);
  ASSERT_TRUE(WriteMsgFile(*w.reader, crowded, out.path()).empty());
  auto root = ReadCfb(out.path());
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->storages.count("__recip_version1.0_#000003E7"));
  EXPECT_FALSE(root->storages.count("__recip_version1.0_#000003E8"));
  const std::string header = root->streams["__properties_version1.0"];
  EXPECT_EQ(U32(header, 16), 1000u);  // recipient count

  // Deep embedding ends where the reader stops, named as a problem.
  auto deep = w.Read(m.deep, MsgReadOptions());
  std::vector<std::string> problems;
  ASSERT_TRUE(WriteMsgFile(*w.reader, deep, out.path(), &problems).empty());
  root = ReadCfb(out.path());
  ASSERT_TRUE(root);
  int levels = 0;
  for (const CfbStorage* s = &*root;; ++levels) {
    auto a = s->storages.find("__attach_version1.0_#00000000");
    if (a == s->storages.end()) break;
    auto e = a->second.storages.find("__substg1.0_3701000D");
    if (e == a->second.storages.end()) break;
    s = &e->second;
  }
  EXPECT_EQ(levels, content::kMaxEmbeddingDepth);
  EXPECT_EQ(problems.size(), 1u);
}

TEST(Msg, CommandLineWritesWholeFilesAndReplacesNone) {
  sb::MailboxBuilder mb(content::testing::Options());
  const Mailbox m = Build(mb);
  TempPathGuard store(TempPath("msg-store"));
  mb.Write(store.path());
  TempPathGuard dir(TempPath("msg-out", ""));

  cli::ExportCommand command;
  command.format = Format::Msg;
  command.out = dir.path() + "/export";
  std::ostringstream out, err;
  // The deepest embedded message is beyond what is read: that item is incomplete.
  ASSERT_EQ(cli::ExportStore(store.path(), command, out, err), cli::kExitSomeUnreadable) << err.str();
  EXPECT_EQ(err.str().find("item 0x"), err.str().rfind("item 0x")) << err.str();
  // Every listed item once (an item listed in two folders is written in each), hostile
  // names kept inside the folder, no partial file left.
  const auto files = FilesWith(command.out, ".msg");
  EXPECT_GE(files.size(), m.mails.size() + m.others.size());
  for (const auto& e : fs::recursive_directory_iterator(command.out)) {
    EXPECT_EQ(e.path().string().find(".part"), std::string::npos) << e.path();
  }
  for (const auto& f : files) EXPECT_TRUE(ReadCfb(f)) << f;

  const std::string target = dir.path() + "/one.msg";
  cli::ShowOptions show;
  show.msgFile = target;
  std::ostringstream shown, said;
  EXPECT_EQ(cli::Show(store.path(), m.mails[0], show, shown, said), 0) << said.str();
  EXPECT_NE(said.str().find("saved " + target), std::string::npos) << said.str();
  const auto size = fs::file_size(target);
  EXPECT_GT(size, 20000u);
  // A second save finds the file there and leaves it alone.
  std::ostringstream again;
  EXPECT_EQ(cli::Show(store.path(), m.others[0], show, shown, again), cli::kExitOpenFailed);
  EXPECT_NE(again.str().find("not replaced"), std::string::npos);
  EXPECT_EQ(fs::file_size(target), size);
}

}  // namespace
}  // namespace velmorix::exporting::testing
