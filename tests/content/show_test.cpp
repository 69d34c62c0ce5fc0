// `velmorix-cli show`: exit statuses, bodies exactly, attachments saved
// inside the folder whatever their names.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "cli/recover.h"
#include "cli/show.h"
#include "content/safe_name.h"
#include "content_test_util.h"

namespace velmorix::content::testing {
namespace {

namespace fs = std::filesystem;

class ShowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sb::MailboxBuilder mb(Options());
    sb::MailFields f;
    f.subject = "Quarterly report";
    f.senderName = "Ann";
    f.senderEmail = "ann@example.com";
    f.body = "Plain body\r\n";
    f.html = "<p>HTML body</p>";
    f.rtf = "{\\rtf1 RTF body}";
    sb::Item mail = sb::MakeMail(f);
    mail.recipients = {{"Bob", "bob@example.com", 1}, {"Cyd", "cyd@example.com", 2}};
    const std::vector<std::string> names = {"../../x", "/etc/passwd", "CON", std::string("nul\0byte", 8),
                                            "sub/dir\\file", std::string(10000, 'n') + ".txt", "same.txt",
                                            "same.txt", ""};
    for (size_t i = 0; i < names.size(); ++i) {
      sb::Attachment a;
      a.fileName = names[i];
      a.data = Bytes("bytes of " + std::to_string(i));
      mail.attachments.push_back(a);
    }
    sb::Attachment message;
    message.fileName = "forwarded";
    message.embedded = std::make_shared<sb::Item>(sb::MakeMail({}));
    mail.attachments.push_back(message);
    mailNid = mb.AddItem(mb.topFolder(), mail);
    sb::MailFields plain;
    plain.body = "only plain";
    plainOnly = mb.AddItem(mb.topFolder(), sb::MakeMail(plain));
    mb.Write(file.path());
  }

  int Show(uint32_t id, const cli::ShowOptions& options = {}) {
    out.str("");
    err.str("");
    return cli::Show(file.path(), id, options, out, err);
  }

  TempPathGuard file{TempPath("show")};
  uint32_t mailNid = 0;
  uint32_t plainOnly = 0;
  std::ostringstream out, err;
};

TEST_F(ShowTest, SummaryAndEachBodyExactly) {
  ASSERT_EQ(Show(mailNid), cli::kExitFinished) << err.str();
  const std::string s = out.str();
  EXPECT_NE(s.find("Subject:      Quarterly report\n"), std::string::npos) << s;
  EXPECT_NE(s.find("From:         Ann <ann@example.com>\n"), std::string::npos) << s;
  EXPECT_NE(s.find("To:           Bob <bob@example.com>\n"), std::string::npos) << s;
  EXPECT_NE(s.find("Cc:           Cyd <cyd@example.com>\n"), std::string::npos) << s;
  EXPECT_NE(s.find("Attachments:  10\n"), std::string::npos) << s;
  EXPECT_NE(s.find("  7  same.txt  10 bytes\n"), std::string::npos) << s;
  EXPECT_NE(s.find("  10  message: forwarded\n"), std::string::npos) << s;
  EXPECT_TRUE(s.ends_with("\nPlain body\r\n")) << s;

  cli::ShowOptions body;
  body.body = cli::BodyForm::Plain;
  ASSERT_EQ(Show(mailNid, body), cli::kExitFinished);
  EXPECT_EQ(out.str(), "Plain body\r\n");
  body.body = cli::BodyForm::Html;
  ASSERT_EQ(Show(mailNid, body), cli::kExitFinished);
  EXPECT_EQ(out.str(), "<p>HTML body</p>");
  body.body = cli::BodyForm::Rtf;
  ASSERT_EQ(Show(mailNid, body), cli::kExitFinished);
  EXPECT_EQ(out.str(), "{\\rtf1 RTF body}");
  EXPECT_EQ(err.str(), "");
}

TEST_F(ShowTest, ExitStatuses) {
  cli::ShowOptions html;
  html.body = cli::BodyForm::Html;
  EXPECT_EQ(Show(plainOnly, html), cli::kExitOpenFailed);
  EXPECT_EQ(out.str(), "");
  EXPECT_NE(err.str().find("has no html body"), std::string::npos) << err.str();
  EXPECT_EQ(Show(0x7777777), cli::kExitOpenFailed);
  EXPECT_NE(err.str().find("item 0x7777777: there is no item with this id"), std::string::npos) << err.str();
  EXPECT_EQ(cli::Show(file.path() + ".missing", mailNid, {}, out, err), cli::kExitOpenFailed);

  auto run = [](std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return cli::RunShow(static_cast<int>(argv.size()), argv.data());
  };
  EXPECT_EQ(run({"show"}), cli::kExitUsage);
  EXPECT_EQ(run({"show", file.path()}), cli::kExitUsage);
  EXPECT_EQ(run({"show", file.path(), "0xZZ"}), cli::kExitUsage);
  EXPECT_EQ(run({"show", "--body", "pdf", file.path(), "1"}), cli::kExitUsage);
  EXPECT_EQ(run({"show", "--frobnicate", file.path(), "1"}), cli::kExitUsage);

  EXPECT_EQ(cli::ParseItemId("0x200024"), 0x200024u);
  EXPECT_EQ(cli::ParseItemId("2097188"), 2097188u);
  EXPECT_EQ(cli::ParseItemId("0X1f"), 0x1Fu);
  EXPECT_FALSE(cli::ParseItemId("0x100000000"));
  EXPECT_FALSE(cli::ParseItemId("-1"));
  EXPECT_FALSE(cli::ParseItemId(""));
}

TEST_F(ShowTest, PropertiesAsTextAndJson) {
  cli::ShowOptions options;
  options.properties = true;
  ASSERT_EQ(Show(mailNid, options), cli::kExitFinished) << err.str();
  EXPECT_NE(out.str().find("0x0037001F  PidTagSubject  PtypString  Quarterly report\n"), std::string::npos)
      << out.str();
  EXPECT_EQ(out.str().find("Plain body\r"), std::string::npos);  // one line per property
  options.json = true;
  ASSERT_EQ(Show(mailNid, options), cli::kExitFinished) << err.str();
  std::istringstream lines(out.str());
  size_t records = 0;
  for (std::string line; std::getline(lines, line); ++records) {
    EXPECT_TRUE(line.starts_with("{\"tag\":\"0x") && line.ends_with("}")) << line;
  }
  EXPECT_GT(records, 5u);
  EXPECT_NE(out.str().find("{\"tag\":\"0x1000001F\",\"name\":\"PidTagBody\",\"type\":\"PtypString\",\"size\":24,"
                           "\"value\":\"Plain body\\r\\n\""),
            std::string::npos)
      << out.str();
}

TEST_F(ShowTest, AttachmentsSaveInsideTheFolderUnderSafeUniqueNames) {
  TempPathGuard root(TempPath("saved", ""));
  const std::string dir = root.path() + "/attachments";
  fs::create_directories(dir);
  std::ofstream(dir + "/same.txt") << "already here";

  cli::ShowOptions options;
  options.attachmentsDir = dir;
  options.body = cli::BodyForm::Plain;
  ASSERT_EQ(Show(mailNid, options), cli::kExitFinished) << err.str();
  EXPECT_EQ(out.str(), "Plain body\r\n");

  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::ifstream in(e.path(), std::ios::binary);
    files[e.path().filename().string()] = std::string(std::istreambuf_iterator<char>(in), {});
  }
  EXPECT_EQ(files.size(), 11u);
  // The embedded message as a message file.
  EXPECT_NE(files["forwarded.eml"].find("MIME-Version: 1.0"), std::string::npos);
  EXPECT_EQ(files["_.._x"], "bytes of 0");
  EXPECT_EQ(files["_etc_passwd"], "bytes of 1");
  EXPECT_EQ(files["_CON"], "bytes of 2");
  EXPECT_EQ(files["_nul"], "bytes of 3");  // cut at the NUL: a reserved name
  EXPECT_EQ(files["sub_dir_file"], "bytes of 4");
  EXPECT_EQ(files["same.txt"], "already here");
  EXPECT_EQ(files["same (2).txt"], "bytes of 6");
  EXPECT_EQ(files["same (3).txt"], "bytes of 7");
  EXPECT_EQ(files["attachment-9"], "bytes of 8");
  size_t longNames = 0;
  for (const auto& [name, bytes] : files) {
    if (name.size() > 100) {
      ++longNames;
      EXPECT_LE(name.size(), kMaxFileNameBytes);
      EXPECT_TRUE(name.ends_with(".txt"));
      EXPECT_EQ(bytes, "bytes of 5");
    }
  }
  EXPECT_EQ(longNames, 1u);
  // Nothing was written beside the folder.
  size_t beside = 0;
  for (const auto& e : fs::directory_iterator(root.path())) beside += e.path().filename() != "attachments";
  EXPECT_EQ(beside, 0u);
}

TEST(ShowAttachments, AnEmbeddedMessageThatCannotBeReadFailsTheSave) {
  TempPathGuard file{TempPath("show-embedded")};
  sb::MailboxOptions o = Options();
  o.ndb.encryption = 0;  // the marker below is found as written
  sb::MailboxBuilder mb(o);
  sb::MailFields inner;
  inner.subject = "EMBEDDED";
  sb::Attachment message;
  message.fileName = "forwarded";
  message.embedded = std::make_shared<sb::Item>(sb::MakeMail(inner));
  sb::Item mail = sb::MakeMail({});
  mail.attachments = {message};
  const uint32_t nid = mb.AddItem(mb.topFolder(), mail);
  mb.Write(file.path());
  {
    // The heap signature of the embedded message's own block broken: its
    // properties cannot be read.
    std::fstream f(file.path(), std::ios::in | std::ios::out | std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(f)), {});
    const std::string marker("E\0M\0B\0E\0D\0D\0E\0D\0", 16);
    size_t at = bytes.find(marker);
    ASSERT_NE(at, std::string::npos);
    at -= at % 64;
    while (at > 0 && !(bytes[at + 2] == '\xEC' && bytes[at + 3] == '\xBC')) at -= 64;
    ASSERT_GT(at, 0u);
    f.seekp(static_cast<std::streamoff>(at + 2));
    f.put('\0');
  }
  TempPathGuard dir(TempPath("show-embedded-out", ""));
  fs::create_directories(dir.path());
  cli::ShowOptions options;
  options.attachmentsDir = dir.path();
  std::ostringstream out, err;
  EXPECT_EQ(cli::Show(file.path(), nid, options, out, err), cli::kExitSomeUnreadable) << err.str();
  EXPECT_NE(err.str().find("attachment 1 (forwarded)"), std::string::npos) << err.str();
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
}  // namespace velmorix::content::testing
