// Names from a store made safe, and files written whole without replacing any.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "content/safe_name.h"
#include "content_test_util.h"

namespace velmorix::content::testing {
namespace {

namespace fs = std::filesystem;

TEST(SafeFileName, HostileNamesBecomeOneHarmlessComponent) {
  EXPECT_EQ(SafeFileName("report.pdf"), "report.pdf");
  EXPECT_EQ(SafeFileName("../../x"), "_.._x");
  EXPECT_EQ(SafeFileName("/etc/passwd"), "_etc_passwd");
  EXPECT_EQ(SafeFileName("a\\b:c*d?e\"f<g>h|i"), "a_b_c_d_e_f_g_h_i");
  EXPECT_EQ(SafeFileName(std::string_view("nul\0byte.txt", 12)), "nul_byte.txt");
  EXPECT_EQ(SafeFileName("CON"), "_CON");
  EXPECT_EQ(SafeFileName("con.txt"), "_con.txt");
  EXPECT_EQ(SafeFileName("LPT1.doc"), "_LPT1.doc");
  EXPECT_EQ(SafeFileName("CONSOLE.txt"), "CONSOLE.txt");
  EXPECT_EQ(SafeFileName("trailing. . "), "trailing");
  EXPECT_EQ(SafeFileName("\xE2\x80\xAEgpj.exe"), "_gpj.exe");
  EXPECT_EQ(SafeFileName("bad\xFFutf8"), "bad_utf8");
  EXPECT_EQ(SafeFileName("na\xC3\xAFve.txt"), "na\xC3\xAFve.txt");
  for (const char* empty : {"", "...", " . ", ".."}) EXPECT_EQ(SafeFileName(empty, "attachment-3"), "attachment-3");
  EXPECT_EQ(SafeFileName("", ""), "file");

  // Long names are cut at a character boundary and keep their extension.
  std::string longName;
  for (int i = 0; i < 5000; ++i) longName += "\xC3\xA9";
  longName += ".jpeg";
  const std::string cut = SafeFileName(longName);
  EXPECT_LE(cut.size(), kMaxFileNameBytes);
  EXPECT_TRUE(cut.ends_with("\xC3\xA9.jpeg"));
  EXPECT_LE(SafeFileName(std::string(10000, 'x')).size(), kMaxFileNameBytes);

  EXPECT_EQ(NumberedName("photo.jpg", 2), "photo (2).jpg");
  EXPECT_EQ(NumberedName("README", 12), "README (12)");
  EXPECT_LE(NumberedName(cut, 99999).size(), kMaxFileNameBytes);
  EXPECT_TRUE(NumberedName(cut, 7).ends_with(" (7).jpeg"));
}

class NewFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir.path() + "/out");
    out = dir.path() + "/out";
  }
  std::string Save(std::string_view name, std::string_view bytes) {
    std::string error;
    auto f = NewFile::Create(out, &error);
    EXPECT_TRUE(f) << error;
    EXPECT_TRUE(f->Write(AsBytes(bytes)));
    auto path = f->Commit(name, "attachment", &error);
    EXPECT_TRUE(path) << error;
    return path.value_or("");
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  TempPathGuard dir{TempPath("newfile", "")};
  std::string out;
};

TEST_F(NewFileTest, WritesWholeFilesInsideTheFolderWithoutReplacingAny) {
  const std::string first = Save("a.txt", "one");
  const std::string second = Save("a.txt", "two");
  EXPECT_EQ(fs::path(first).filename(), "a.txt");
  EXPECT_EQ(fs::path(second).filename(), "a (2).txt");
  EXPECT_EQ(Read(first), "one");
  EXPECT_EQ(Read(second), "two");

  // An existing file or link of the name stays as it is.
  std::ofstream(out + "/b.txt") << "mine";
  fs::create_symlink(dir.path() + "/elsewhere", out + "/c.txt");
  EXPECT_EQ(fs::path(Save("b.txt", "new")).filename(), "b (2).txt");
  EXPECT_EQ(fs::path(Save("c.txt", "new")).filename(), "c (2).txt");
  EXPECT_EQ(Read(out + "/b.txt"), "mine");
  EXPECT_FALSE(fs::exists(dir.path() + "/elsewhere"));

  for (const char* hostile : {"../../x", "/etc/passwd", "..", "CON", "sub/dir/file"}) Save(hostile, "h");
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(out)) names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"a.txt", "a (2).txt", "b.txt", "b (2).txt", "c.txt", "c (2).txt",
                                          "_.._x", "_etc_passwd", "attachment", "_CON", "sub_dir_file"}));
  // Nothing appeared beside the folder.
  size_t beside = 0;
  for (const auto& e : fs::directory_iterator(dir.path())) beside += e.path().filename() != "out";
  EXPECT_EQ(beside, 0u);
}

TEST_F(NewFileTest, AnUncommittedFileLeavesNothing) {
  {
    auto f = NewFile::Create(out);
    ASSERT_TRUE(f);
    f->Write(AsBytes("partial"));
  }
  EXPECT_TRUE(fs::is_empty(out));
  EXPECT_FALSE(NewFile::Create(out + "/missing"));

  auto d1 = CreateUniqueDirectory(out, "Inbox/..");
  auto d2 = CreateUniqueDirectory(out, "Inbox/..");
  ASSERT_TRUE(d1 && d2);
  EXPECT_EQ(fs::path(*d1).filename(), "Inbox_");
  EXPECT_EQ(fs::path(*d2).filename(), "Inbox_ (2)");
  EXPECT_TRUE(fs::is_directory(*d2));
}

}  // namespace
}  // namespace velmorix::content::testing
