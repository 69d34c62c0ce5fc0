// Where an export writes: hostile folder names and subjects stay inside the
// chosen folder, links planted in it are never followed, no file is
// replaced, and a stop leaves only whole files.
#include <unistd.h>

#include <set>

#include "../content/content_test_util.h"
#include "export/exporter.h"
#include "content/safe_name.h"
#include "export/output.h"
#include "export_test_util.h"

namespace velmorix::exporting::testing {
namespace {

namespace sb = velmorix::storebuilder;
using content::testing::TempPath;
using content::testing::TempPathGuard;

const std::vector<std::string> kHostile = {"../..", "CON", std::string(10000, 'x'), std::string("a\0b", 3), "...",
                                           "/etc/passwd", "a/../../b", ""};

class SafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(base_.path() + "/out");
    sb::MailboxOptions o;
    o.deletedItems = false;
    sb::MailboxBuilder mb(o);
    for (const auto& name : kHostile) {
      sb::MailFields f;
      f.subject = name;
      f.body = "body of " + name.substr(0, 20);
      nids_.push_back(mb.AddItem(mb.topFolder(), sb::MakeMail(f)));
    }
    mb.Write(store_.path());
    reader_ = content::ItemReader::Open(store_.path());
    ASSERT_TRUE(reader_);
  }

  // One folder per hostile name, each holding every item.
  std::vector<FolderItems> HostileFolders() const {
    std::vector<FolderItems> folders;
    for (const auto& name : kHostile) folders.push_back({{"Personal Folders", name}, ListKind::Mail, nids_});
    return folders;
  }

  ExportResult Run(const std::vector<FolderItems>& folders, Format format = Format::Eml,
                   const ProgressCallback& progress = {}) {
    ExportOptions options;
    options.format = format;
    options.destination = out();
    return Export(*reader_, folders, options, progress);
  }

  std::string out() const { return base_.path() + "/out"; }

  // Everything below the base folder except the output folder.
  std::vector<std::string> Outside() const {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(base_.path())) {
      if (e.path().filename() != "out" && e.path().filename() != "store.pst") found.push_back(e.path().string());
    }
    return found;
  }

  TempPathGuard base_{TempPath("export-safety", "")};
  TempPathGuard store_{TempPath("export-safety", ".pst")};
  std::unique_ptr<content::ItemReader> reader_;
  std::vector<uint32_t> nids_;
};

TEST_F(SafetyTest, HostileNamesStayInsideTheChosenFolder) {
  const ExportResult r = Run(HostileFolders());
  ASSERT_TRUE(r.error.empty()) << r.error;
  EXPECT_EQ(r.itemsWritten, kHostile.size() * kHostile.size());
  EXPECT_EQ(r.filesWritten, r.itemsWritten);
  EXPECT_TRUE(Outside().empty());
  std::set<std::string> dirs;
  size_t files = 0;
  const std::string root = fs::canonical(out()).string() + "/";
  for (const auto& e : fs::recursive_directory_iterator(out())) {
    const std::string name = e.path().filename().string();
    EXPECT_FALSE(e.is_symlink());
    EXPECT_TRUE(fs::canonical(e.path()).string().starts_with(root)) << e.path();
    EXPECT_LE(name.size(), content::kMaxFileNameBytes);
    EXPECT_FALSE(name.starts_with(".")) << name;  // no temporary file left, no hidden name
    EXPECT_EQ(name.find('\0'), std::string::npos);
    EXPECT_NE(name, "CON");
    EXPECT_NE(name, "CON.eml");
    if (e.is_directory()) dirs.insert(e.path().string());
    if (e.is_regular_file()) ++files;
  }
  EXPECT_EQ(dirs.size(), kHostile.size() + 1);  // "Personal Folders" and one folder per name
  EXPECT_EQ(files, r.filesWritten);
}

TEST_F(SafetyTest, NothingIsReplacedAndPlantedLinksAreNotFollowed) {
  // A file where the export would write, and a link where it would make a
  // folder, both made before it runs.
  const std::string victim = base_.path() + "/victim";
  fs::create_directories(victim);
  fs::create_directories(out() + "/Personal Folders");
  fs::create_symlink(victim, out() + "/Personal Folders/Inbox");
  { std::ofstream(out() + "/Personal Folders/keep.eml") << "mine"; }
  std::vector<FolderItems> folders = {{{"Personal Folders"}, ListKind::Mail, {nids_[0]}},
                                      {{"Personal Folders", "Inbox"}, ListKind::Mail, nids_}};
  const ExportResult r = Run(folders);
  ASSERT_TRUE(r.error.empty()) << r.error;
  EXPECT_TRUE(fs::is_empty(victim));
  EXPECT_EQ(std::ifstream(out() + "/Personal Folders/keep.eml").rdbuf() != nullptr, true);
  std::string kept;
  std::getline(std::ifstream(out() + "/Personal Folders/keep.eml"), kept);
  EXPECT_EQ(kept, "mine");
  // The existing folder got a numbered sibling, the link a numbered folder.
  EXPECT_TRUE(fs::is_directory(out() + "/Personal Folders (2)"));
  EXPECT_TRUE(fs::is_directory(out() + "/Personal Folders (2)/Inbox"));

  // A second export into the same folder replaces nothing either.
  const ExportResult again = Run(folders);
  EXPECT_EQ(again.itemsWritten, r.itemsWritten);
  EXPECT_TRUE(fs::is_directory(out() + "/Personal Folders (3)"));
}

TEST_F(SafetyTest, NamesAreUniqueAlsoWhereCaseIsIgnored) {
  auto dir = OutputDir::Open(out());
  ASSERT_TRUE(dir);
  std::set<std::string> names;
  for (const char* name : {"Report", "report", "REPORT", "Report"}) {
    auto file = dir->CreateFile();
    ASSERT_TRUE(file);
    file->Write(std::string_view(name));
    auto path = file->Commit(name, ".eml", "item");
    ASSERT_TRUE(path);
    std::string lower = fs::path(*path).filename().string();
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(names.insert(lower).second) << lower;
  }
}

TEST_F(SafetyTest, AStopLeavesOnlyWholeFiles) {
  for (Format format : {Format::Eml, Format::Mbox}) {
    fs::remove_all(out());
    size_t calls = 0;
    const ExportResult r = Run(HostileFolders(), format, [&](const Progress& p) {
      EXPECT_EQ(p.itemsTotal, kHostile.size() * kHostile.size());
      return ++calls < kHostile.size() + 3;  // stops inside the second folder
    });
    EXPECT_TRUE(r.cancelled);
    size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(out())) {
      EXPECT_FALSE(e.path().filename().string().starts_with(".")) << e.path();
      if (e.is_regular_file()) ++files;
    }
    // eml: every item done before the stop; mbox: only the first folder's file.
    EXPECT_EQ(files, format == Format::Eml ? kHostile.size() + 3 : 1u);
    EXPECT_EQ(r.filesWritten, files);
  }
}

}  // namespace
}  // namespace velmorix::exporting::testing
