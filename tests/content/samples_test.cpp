// Items of the real sample files read in full, and every listed mail of
// every sample shown by `velmorix-cli show` in each body form it holds.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/recover.h"
#include "cli/show.h"
#include "content_test_util.h"

namespace velmorix::content::testing {
namespace {

struct Opened {
  std::unique_ptr<ItemReader> reader;
  Item item;
};

Opened OpenItem(const std::string& path, uint32_t nid) {
  Opened o;
  std::string error;
  o.reader = ItemReader::Open(path, &error);
  EXPECT_TRUE(o.reader) << error;
  if (!o.reader) return o;
  auto item = o.reader->Read(nid, {}, &error);
  EXPECT_TRUE(item) << error;
  if (item) o.item = std::move(*item);
  return o;
}

std::string AllBytes(ItemReader& reader, const Attachment& a) {
  std::string out;
  std::string error;
  EXPECT_TRUE(reader.ReadAttachment(a, [&](ByteSpan b) {
    out.append(AsChars(b));
    return true;
  }, &error)) << error;
  return out;
}

TEST(Samples, OutlookInboxMailWithItsPictures) {
  SAMPLE_OR_SKIP("outlook.pst");
  Opened o = OpenItem(samplePath, 0x200024);
  const Item& m = o.item;
  EXPECT_EQ(m.subject, "Welcome to Microsoft Office Outlook 2003");
  EXPECT_EQ(m.sentRepresenting.name, "Outlook 2003 Team");
  EXPECT_EQ(m.sentRepresenting.smtpAddress, "olteam@microsoft.com");
  const std::string& plain = m.bodies.plain.text;
  EXPECT_EQ(m.bodies.plain.source, BodySource::Stored);
  EXPECT_EQ(plain.substr(plain.find_first_not_of(" \t")).rfind(
                "Thank you for using Microsoft\xC2\xAE Office Outlook\xC2\xAE 2003!", 0),
            0u);
  ASSERT_EQ(m.recipients.size(), 1u);
  EXPECT_EQ(m.recipients[0].name, "New Outlook User");
  ASSERT_EQ(m.attachments.size(), 11u);
  for (const Attachment& a : m.attachments) {
    const std::string bytes = AllBytes(*o.reader, a);
    EXPECT_EQ(bytes.size(), a.size) << a.fileName;
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xD8") << a.fileName;
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\xFF\xD9") << a.fileName;
    EXPECT_TRUE(a.fileName.ends_with(".jpg")) << a.fileName;
  }
  EXPECT_EQ(m.attachments[0].fileName, "1.jpg");
  EXPECT_EQ(m.attachments[0].size, 1969u);
  EXPECT_TRUE(m.problems.empty());
}

TEST(Samples, EmbeddedMessagesOfMsgInMsgAndSubmessage) {
  {
    SAMPLE_OR_SKIP("msgInMsg.pst");
    Opened o = OpenItem(samplePath, 0x200024);
    ASSERT_EQ(o.item.attachments.size(), 2u);
    ASSERT_TRUE(o.item.attachments[0].isEmbeddedMessage());
    auto inner = o.reader->ReadEmbedded(o.item.attachments[0]);
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->subject, "Microsoft Outlook \xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88 "
                              "\xE3\x83\xA1\xE3\x83\x83\xE3\x82\xBB\xE3\x83\xBC\xE3\x82\xB8");
    EXPECT_EQ(inner->bodies.plain.text.rfind("\xE3\x81\x93\xE3\x81\xAE\xE9\x9B\xBB\xE5\xAD\x90", 0), 0u);
    ASSERT_EQ(inner->recipients.size(), 1u);
    EXPECT_EQ(inner->recipients[0].smtpAddress, "xmailuser@xmailserver.test");
    EXPECT_EQ(o.item.attachments[1].fileName, "green.png");
    EXPECT_EQ(AllBytes(*o.reader, o.item.attachments[1]).substr(0, 4), "\x89PNG");
  }
  {
    SAMPLE_OR_SKIP("submessage.pst");
    Opened o = OpenItem(samplePath, 0x200024);
    ASSERT_EQ(o.item.attachments.size(), 1u);
    auto inner = o.reader->ReadEmbedded(o.item.attachments[0]);
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->subject, "This is an embedded message");
    EXPECT_EQ(inner->bodies.plain.text.rfind("This is the body of an embedded message", 0), 0u);
  }
}

TEST(Samples, InlineImageAndTwoHundredRecipients) {
  {
    SAMPLE_OR_SKIP("attachAndInline.pst");
    Opened o = OpenItem(samplePath, 0x200024);
    ASSERT_EQ(o.item.attachments.size(), 2u);
    EXPECT_EQ(o.item.attachments[1].fileName, "image001.png");
    EXPECT_EQ(o.item.attachments[1].contentId, "image001.png@01D78380.EF6DC500");
    EXPECT_NE(o.item.bodies.html.text.find("cid:image001.png@01D78380.EF6DC500"), std::string::npos);
  }
  {
    SAMPLE_OR_SKIP("200_recipients.pst");
    Opened o = OpenItem(samplePath, 0x200024);
    ASSERT_EQ(o.item.recipients.size(), 200u);
    for (size_t i = 0; i < 200; ++i) {
      EXPECT_EQ(o.item.recipients[i].smtpAddress, "xmailuser" + std::to_string(i + 1) + "@xmailserver.test");
    }
  }
}

// The node ids of the mails `recover --ids` lists.
std::vector<uint32_t> ListedMails(const std::string& path) {
  std::ostringstream out;
  cli::RecoverOptions options;
  options.format = cli::OutputFormat::Tsv;
  options.ids = true;
  cli::Recover(path, options, out);
  std::vector<uint32_t> ids;
  std::istringstream in(out.str());
  std::string set;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::istringstream l(line);
    for (std::string f; std::getline(l, f, '\t');) fields.push_back(f);
    if (fields.size() > 2 && fields[0] == "list") set = fields[2];
    if (fields.size() > 2 && fields[0] == "row" && set == "mail") {
      if (auto id = cli::ParseItemId(fields.back())) ids.push_back(*id);
    }
  }
  return ids;
}

TEST(Samples, EveryListedMailIsShownWithEachBodyItHolds) {
  const std::filesystem::path dir(::velmorix::test::SamplesDir());
  if (!std::filesystem::is_directory(dir)) {
    GTEST_SKIP() << "no samples at " << dir << " (set VELMORIX_SAMPLES to the samples folder)";
  }
  size_t mails = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(".pst") && !name.ends_with(".ost")) continue;
    const std::string path = ::velmorix::test::SamplePath(name);
    auto reader = ItemReader::Open(path);
    for (uint32_t id : ListedMails(path)) {
      ++mails;
      ASSERT_TRUE(reader) << path;
      std::ostringstream out, err;
      ASSERT_EQ(cli::Show(path, id, {}, out, err), cli::kExitFinished) << path << " " << id << err.str();
      auto item = reader->Read(id);
      ASSERT_TRUE(item) << path << " " << id;
      const std::pair<cli::BodyForm, const Body*> forms[] = {{cli::BodyForm::Plain, &item->bodies.plain},
                                                             {cli::BodyForm::Html, &item->bodies.html},
                                                             {cli::BodyForm::Rtf, &item->bodies.rtf}};
      for (const auto& [form, body] : forms) {
        std::ostringstream bodyOut, bodyErr;
        cli::ShowOptions options;
        options.body = form;
        const int status = cli::Show(path, id, options, bodyOut, bodyErr);
        if (body->present() && !body->text.empty()) {
          EXPECT_EQ(status, cli::kExitFinished) << path << " " << id << bodyErr.str();
          EXPECT_EQ(bodyOut.str(), body->text) << path << " " << id;
          EXPECT_FALSE(body->damaged) << path << " " << id << " " << body->problem;
        } else if (!body->present()) {
          EXPECT_EQ(status, cli::kExitOpenFailed) << path << " " << id;
        }
      }
      EXPECT_TRUE(item->bodies.plain.present() || item->messageClass != "IPM.Note") << path << " " << id;
      for (const Attachment& a : item->attachments) {
        EXPECT_TRUE(a.readable) << path << " " << id << " " << a.fileName << ": " << a.problem;
        if (a.isEmbeddedMessage()) {
          EXPECT_TRUE(reader->ReadEmbedded(a)) << path << " " << id;
        } else {
          uint64_t n = 0;
          EXPECT_TRUE(reader->ReadAttachment(a, [&](ByteSpan b) {
            n += b.size();
            return true;
          }));
          EXPECT_EQ(n, a.size) << path << " " << id << " " << a.fileName;
        }
      }
    }
  }
  EXPECT_GT(mails, 400u);
}

}  // namespace
}  // namespace velmorix::content::testing
