#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/export.h"
#include "cli/recover.h"
#include "cli/show.h"
#include "samples.h"
#include "session_fixture.h"

namespace velmorix::session::testing {
namespace {

using V = std::vector<std::string>;

using velmorix::test::SamplePath;

V Lines(const std::string& text, const std::string& prefix = "") {
  V out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  }
  return out;
}

int Recover(const std::string& path, cli::OutputFormat format, std::string& out) {
  std::ostringstream s;
  const int status = cli::Recover(path, format, s);
  out = s.str();
  return status;
}

TEST(CliRecover, OutlookSampleAsTsv) {
  REQUIRE_SAMPLE("outlook.pst");
  std::string out;
  ASSERT_EQ(Recover(SamplePath("outlook.pst"), cli::OutputFormat::Tsv, out), cli::kExitFinished);
  EXPECT_EQ(Lines(out, "status\t"),
            (V{"status\tOpening File", "status\tScanning File and Loading Indexes...",
               "status\tLoading Extended Attributes", "status\tScanning File for Mails...",
               "status\t"}));
  EXPECT_TRUE(Lines(out, "message\t").empty());

  const V folders = Lines(out, "folder\t");
  for (const char* name :
       {"Junk E-mail", "Calendar", "Deleted Items", "Journal", "Contacts", "\xE6\x94\xB6\xE4\xBB\xB6\xE7\xAE\xB1",
        "Sent Items", "Reminders", "Notes", "Drafts", "Outbox", "Recovered_Group2",
        "Recovered_Group2\\Inbox", "Inbox", "Tasks"}) {
    const std::string line = std::string("folder\tPersonal Folders\\") + name + "\\";
    EXPECT_EQ(std::count(folders.begin(), folders.end(), line), 1) << line;
  }
  EXPECT_EQ(folders.size(), 16u);

  const V lines = Lines(out);
  auto inbox = std::find(lines.begin(), lines.end(),
                         "list\tPersonal Folders\\Inbox\\\tmail\tFrom\tSubject\tTo\tDate");
  ASSERT_NE(inbox, lines.end());
  ASSERT_NE(inbox + 1, lines.end());
  EXPECT_EQ(*(inbox + 1),
            "row\t14\tOutlook 2003 Team\tWelcome to Microsoft Office Outlook 2003\tNew Outlook "
            "User\tSun Apr 29 22:27:33 2007");
  // No mails in the top folder: its item leaves the list alone.
  EXPECT_TRUE(Lines(out, "list\tPersonal Folders\\\t").empty());
  EXPECT_EQ(Lines(out, "list\tPersonal Folders\\Calendar\\\t"),
            V{"list\tPersonal Folders\\Calendar\\\tcalendar\tSubject\tLocation\tDate"});
  EXPECT_EQ(Lines(out, "summary\t"), V{"summary\tfolders=16\tmails=2\tnodes=18\tstate=C\tdamaged_attachments=0"});
}

TEST(CliRecover, TopFolderMailsAndAnsiTexts) {
  REQUIRE_SAMPLE("testPST.pst");
  REQUIRE_SAMPLE("sample2.pst");
  std::string out;
  ASSERT_EQ(Recover(SamplePath("testPST.pst"), cli::OutputFormat::Tsv, out), cli::kExitFinished);
  const V lines = Lines(out);
  auto top = std::find(lines.begin(), lines.end(), "list\tPersonal Folders\\\tmail\tFrom\tSubject\tTo\tDate");
  ASSERT_NE(top, lines.end());
  EXPECT_EQ(std::count_if(top + 1, top + 7, [](const std::string& l) { return l.rfind("row\t13\t", 0) == 0; }), 6);
  EXPECT_EQ(Lines(out, "folder\t"), V{"folder\tPersonal Folders\\\xC3\x89l\xC3\xA9ments supprim\xC3\xA9s\\"});

  ASSERT_EQ(Recover(SamplePath("sample2.pst"), cli::OutputFormat::Tsv, out), cli::kExitFinished);
  EXPECT_EQ(Lines(out, "row\t"),
            V{"row\t14\tTerry Mahaffey\tHere is a sample message\tTerry Mahaffey\tMon Mar 15 17:12:07 2010"});
}

TEST(CliRecover, TextFormatShowsTheTreeWithEachFoldersTable) {
  REQUIRE_SAMPLE("outlook.pst");
  std::string out;
  ASSERT_EQ(Recover(SamplePath("outlook.pst"), cli::OutputFormat::Text, out), cli::kExitFinished);
  EXPECT_NE(out.find("Scanning File for Mails...\n"), std::string::npos);
  EXPECT_NE(out.find("\nPersonal Folders\n"), std::string::npos);
  EXPECT_NE(out.find("\n  Inbox  [mail, 1 item]\n"), std::string::npos);
  EXPECT_NE(out.find("Welcome to Microsoft Office Outlook 2003"), std::string::npos);
  EXPECT_NE(out.find("\n  Recovered_Group2  [mail, 1 item]\n") , std::string::npos);
  EXPECT_NE(out.find("Folders: 16  Mails: 2  Nodes: 18  State: Finished\n"), std::string::npos);
}

TEST(CliRecover, ExitStatusesForFailures) {
  TempFile text(TempPath("not-a-store"));
  std::ofstream(text.path()) << "This is a text file, not a mailbox.\n";
  std::string out;
  EXPECT_EQ(Recover(text.path(), cli::OutputFormat::Tsv, out), cli::kExitFoundCondition);
  EXPECT_EQ(Lines(out, "message\t"), V{"message\tFound Condition :003 "});
  EXPECT_EQ(Lines(out, "summary\t"), V{"summary\tfolders=0\tmails=0\tnodes=0\tstate=B\tdamaged_attachments=0"});

  EXPECT_EQ(Recover(TempPath("no-such-file"), cli::OutputFormat::Tsv, out), cli::kExitOpenFailed);
  EXPECT_EQ(Lines(out, "message\t"), V{"message\tPlease select a valid file first"});

  // A directory exists but cannot be opened as a store.
  EXPECT_EQ(Recover(::testing::TempDir(), cli::OutputFormat::Tsv, out), cli::kExitOpenFailed);
  EXPECT_EQ(Lines(out, "message\t"), V{"message\tCould not open file Try again"});
}

TEST(CliRecover, TsvFieldsNeverHoldTabsOrLineBreaks) {
  sb::MailboxBuilder mb(Options(sb::Format::Unicode23));
  const uint32_t f = mb.AddFolder(mb.topFolder(), "Tab\there");
  mb.AddItem(f, Mail("line\r\nbreak", "a\tb", "c"));
  TempFile file(TempPath("cli"));
  mb.Write(file.path());
  std::string out;
  ASSERT_EQ(Recover(file.path(), cli::OutputFormat::Tsv, out), cli::kExitFinished);
  EXPECT_EQ(Lines(out, "folder\t"), V{"folder\tPersonal Folders\\Tab here\\"});
  EXPECT_EQ(Lines(out, "row\t"), V{"row\t13\ta b\tline  break\tc\tMon Jan 15 10:30:00 2024"});
}

TEST(CliRecover, IdsNameEachRowsNodeAndChangeNothingElse) {
  sb::MailboxBuilder mb(Options(sb::Format::Unicode23));
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  const uint32_t mail = mb.AddItem(inbox, Mail("Hello"));
  const uint32_t contacts = mb.AddFolder(mb.topFolder(), "Contacts");
  sb::ContactFields c;
  c.displayName = c.fileUnder = "Ada";
  const uint32_t contact = mb.AddItem(contacts, sb::MakeContact(c));
  TempFile file(TempPath("cli-ids"));
  mb.Write(file.path());

  std::ostringstream plain, withIds;
  ASSERT_EQ(cli::Recover(file.path(), cli::OutputFormat::Tsv, plain), cli::kExitFinished);
  ASSERT_EQ(cli::Recover(file.path(), {cli::OutputFormat::Tsv, true}, withIds), cli::kExitFinished);
  auto hex = [](uint32_t nid) {
    char b[16];
    std::snprintf(b, sizeof b, "\t0x%x", nid);
    return std::string(b);
  };
  // The same records, each row with one more field: its item's node.
  V expected;
  for (const std::string& line : Lines(plain.str())) {
    if (line.rfind("row\t", 0) != 0) {
      expected.push_back(line);
    } else {
      expected.push_back(line + hex(line.find("Hello") != std::string::npos ? mail : contact));
    }
  }
  EXPECT_EQ(Lines(withIds.str()), expected);
  EXPECT_EQ(Lines(withIds.str(), "row\t").size(), 2u);
}

// A store whose index pages are cut off: without --deep the records end
// with the suggestion and the failure's status; with it, the mails are
// listed in "Recovered Items" and the run ends with status 0.
TEST(CliRecover, DamagedStoreSuggestsTheDeepScanAndDeepListsWhatItFinds) {
  sb::MailboxBuilder mb(Options(sb::Format::Unicode23));
  for (int i = 0; i < 3; ++i) mb.AddItem(mb.topFolder(), Mail("Cut " + std::to_string(i)));
  mb.Finish();
  Buffer image = mb.Build();
  uint64_t firstPage = image.size();
  for (const auto* tree : {&mb.ndb().layout().blockPages, &mb.ndb().layout().nodePages}) {
    for (const auto& level : *tree) {
      for (const auto& p : level) firstPage = std::min(firstPage, p.offset);
    }
  }
  image.resize(firstPage);
  TempFile file(TempPath("cut"));
  std::ofstream(file.path(), std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

  std::string out;
  EXPECT_EQ(Recover(file.path(), cli::OutputFormat::Tsv, out), cli::kExitFoundCondition);
  EXPECT_EQ(Lines(out, "message\t").back(), std::string("message\t") + cli::kDeepScanSuggestion);
  EXPECT_TRUE(Lines(out, "row\t").empty());

  std::ostringstream deep;
  cli::RecoverOptions options;
  options.format = cli::OutputFormat::Tsv;
  options.deep = true;
  EXPECT_EQ(cli::Recover(file.path(), options, deep), cli::kExitFinished);
  const std::string text = deep.str();
  // The top folder's found contents table puts the mails back into it.
  EXPECT_EQ(Lines(text, "folder\t"), V{});
  EXPECT_EQ(Lines(text, "row\t").size(), 3u);
  EXPECT_EQ(Lines(text, "status\tDeep Scanning File for Items...").size(), 1u);
  for (const std::string& m : Lines(text, "message\t")) EXPECT_NE(m, std::string("message\t") + cli::kDeepScanSuggestion);
  EXPECT_EQ(Lines(text, "summary\t").front().rfind("summary\tfolders=0\tmails=3\t", 0), 0u);

  // Cut down to its first pages, the store holds nothing a deep scan finds:
  // that scan still ran to its end, so the status is 0.
  image.resize(0x4600);
  std::ofstream(file.path(), std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  std::ostringstream empty;
  EXPECT_EQ(cli::Recover(file.path(), options, empty), cli::kExitFinished);
  EXPECT_TRUE(Lines(empty.str(), "row\t").empty());
  EXPECT_EQ(Recover(file.path(), cli::OutputFormat::Tsv, out), cli::kExitFoundCondition);
  image = mb.Build();
  image.resize(firstPage);
  std::ofstream(file.path(), std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

  // show --deep finds a mail by the id recover --deep --ids gave it.
  std::ostringstream ids;
  options.ids = true;
  cli::Recover(file.path(), options, ids);
  const std::string row = Lines(ids.str(), "row\t").front();
  const uint32_t id = static_cast<uint32_t>(std::stoul(row.substr(row.rfind('\t') + 1), nullptr, 16));
  cli::ShowOptions show;
  std::ostringstream shown, errors;
  EXPECT_EQ(cli::Show(file.path(), id, show, shown, errors), cli::kExitOpenFailed);
  show.deep = true;
  EXPECT_EQ(cli::Show(file.path(), id, show, shown, errors), cli::kExitFinished) << errors.str();
  EXPECT_NE(shown.str().find("Cut "), std::string::npos) << shown.str();

  // export takes --deep alike: without it nothing is written and stderr tells
  // of the damage; with it, the three mails.
  for (const bool withDeep : {false, true}) {
    cli::ExportCommand command;
    command.format = exporting::Format::Eml;
    command.out = TempPath(withDeep ? "deep-export" : "export");
    command.deep = withDeep;
    std::ostringstream summary, errors;
    cli::ExportStore(file.path(), command, summary, errors);
    size_t files = 0;
    std::error_code ec;
    if (std::filesystem::is_directory(command.out, ec)) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(command.out, ec)) files += e.is_regular_file();
    }
    EXPECT_EQ(files, withDeep ? 3u : 0u) << errors.str();
    EXPECT_EQ(errors.str().find("export --deep may find more items") != std::string::npos, !withDeep) << errors.str();
    std::filesystem::remove_all(command.out, ec);
  }
}

TEST(CliRecover, UsageErrors) {
  auto run = [](std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return cli::RunRecover(static_cast<int>(argv.size()), argv.data());
  };
  EXPECT_EQ(run({"recover"}), cli::kExitUsage);
  EXPECT_EQ(run({"recover", "--format", "xml", "f"}), cli::kExitUsage);
  EXPECT_EQ(run({"recover", "--format"}), cli::kExitUsage);
  EXPECT_EQ(run({"recover", "a", "b"}), cli::kExitUsage);
  EXPECT_EQ(run({"recover", "--verbose", "a"}), cli::kExitUsage);
}

}  // namespace
}  // namespace velmorix::session::testing
