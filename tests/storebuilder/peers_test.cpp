// Other readers of the format, run as black boxes when installed: lspst
// (pst-utils) and pffinfo / pffexport (pff-tools) open the builder's stores
// of every variant and list the folders and items velmorix-cli recover finds.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "cli/recover.h"
#include "storebuilder/mailbox.h"
#include "storebuilder/minimal_store.h"
#include "storebuilder/sample_mailboxes.h"

namespace velmorix::storebuilder {
namespace {

namespace fs = std::filesystem;

bool Installed(const std::string& tool) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (!dir.empty() && ::access((fs::path(dir) / tool).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// Runs a shell command; its exit status and standard output.
int Shell(const std::string& command, std::string& out) {
  out.clear();
  std::FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) return -1;
  char buf[8192];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int status = ::pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What a reader lists: folder paths below the top folder ("" is the top
// folder itself, "Inbox/Sub" a subfolder), mails per folder, and the count of
// each other kind of item.
struct Listing {
  std::map<std::string, size_t> mails;
  std::map<std::string, size_t> others;  // contacts, calendar, tasks, notes, journal
  std::multiset<std::string> folders;
  bool operator==(const Listing&) const = default;

  // Folders without mails show an empty mail list in one reader and none in another.
  Listing WithoutEmptyLists() const {
    Listing l = *this;
    std::erase_if(l.mails, [](const auto& m) { return m.second == 0; });
    return l;
  }
};

std::ostream& operator<<(std::ostream& os, const Listing& l) {
  for (const auto& f : l.folders) os << "folder '" << f << "'\n";
  for (const auto& [f, n] : l.mails) os << "mails '" << f << "' " << n << "\n";
  for (const auto& [k, n] : l.others) os << k << " " << n << "\n";
  return os;
}

Listing FromRecover(const std::string& path) {
  std::ostringstream tsv;
  EXPECT_EQ(cli::Recover(path, cli::OutputFormat::Tsv, tsv), cli::kExitFinished);
  Listing l;
  auto folderOf = [](std::string p) {  // "Personal Folders\Inbox\Sub\" -> "Inbox/Sub"
    p = p.substr(p.find('\\') + 1);
    if (!p.empty()) p.pop_back();
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
  };
  std::istringstream in(tsv.str());
  std::string set, listPath;
  std::set<std::string> seenSets;
  bool countRows = false;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string x; std::getline(fields, x, '\t');) f.push_back(x);
    if (f.size() >= 2 && f[0] == "folder") l.folders.insert(folderOf(f[1]));
    if (f.size() >= 3 && f[0] == "list") {
      set = f[2];
      listPath = folderOf(f[1]);
      // Every folder of another kind shows that kind's one list: count it once.
      countRows = set == "mail" || seenSets.insert(set).second;
      if (set == "mail") l.mails[listPath] += 0;
    }
    if (!f.empty() && f[0] == "row" && countRows) {
      if (set == "mail") {
        ++l.mails[listPath];
      } else {
        ++l.others[set];
      }
    }
  }
  return l;
}

// pffexport's item directories and the lists they belong to.
const std::map<std::string, std::string> kExportKinds = {{"Message", "mail"},    {"Contact", "contacts"},
                                                         {"Appointment", "calendar"}, {"Task", "tasks"},
                                                         {"Note", "notes"},      {"Activity", "journal"}};

void WalkExport(const fs::path& dir, const std::string& folder, Listing& l) {
  static const std::regex item("([A-Za-z]+)[0-9]{5}");
  for (const auto& e : fs::directory_iterator(dir)) {
    if (!e.is_directory()) continue;
    const std::string name = e.path().filename().string();
    std::smatch m;
    if (std::regex_match(name, m, item) && kExportKinds.count(m[1])) {
      const std::string& kind = kExportKinds.at(m[1]);
      if (kind == "mail") {
        ++l.mails[folder];
      } else {
        ++l.others[kind];
      }
      continue;
    }
    const std::string sub = folder.empty() ? name : folder + "/" + name;
    l.folders.insert(sub);
    WalkExport(e.path(), sub, l);
  }
}

class PeerTools : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"lspst", "pffinfo", "pffexport"}) {
      if (!Installed(tool)) GTEST_SKIP() << tool << " is not installed (Debian: pst-utils, pff-tools)";
    }
    dir_ = fs::temp_directory_path() / ("vx_peers_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  std::string Write(MailboxBuilder& b, const std::string& name) {
    const std::string path = (dir_ / name).string();
    b.Write(path);
    return path;
  }

  // pffexport's listing below the top folder, mail folders counted as such.
  Listing FromPffexport(const std::string& path) {
    std::string out;
    const fs::path target = dir_ / (fs::path(path).stem().string() + "-export");
    EXPECT_EQ(Shell("pffexport -q -t '" + target.string() + "' '" + path + "'", out), 0);
    Listing l;
    const fs::path top = target.string() + ".export/Top of Personal Folders";
    EXPECT_TRUE(fs::is_directory(top)) << top;
    if (fs::is_directory(top)) WalkExport(top, "", l);
    return l;
  }

  // lspst's item lines by their first word (Email, Contact, Appointment, ...)
  // and its folder names.
  std::map<std::string, size_t> FromLspst(const std::string& path, std::multiset<std::string>* folders) {
    std::string out;
    EXPECT_EQ(Shell("lspst '" + path + "'", out), 0);
    std::map<std::string, size_t> kinds;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("Folder \"", 0) == 0) {
        if (folders) folders->insert(line.substr(8, line.size() - 9));
      } else if (!line.empty()) {
        ++kinds[line.substr(0, line.find('\t'))];
      }
    }
    return kinds;
  }

  static size_t Mails(const Listing& l) {
    size_t n = 0;
    for (const auto& [folder, count] : l.mails) n += count;
    return n;
  }

  fs::path dir_;
};

TEST_F(PeerTools, ListTheDemoStoreOfVersion36AsRecoverDoes) {
  MailboxOptions o;
  o.ndb.format = Format::Unicode4K;
  o.ndb.encryption = 0;
  o.ndb.offlineFolders = true;
  MailboxBuilder b(o);
  AddDemoMailbox(b);
  const std::string path = Write(b, "demo36.ost");
  const Listing recovered = FromRecover(path);
  ASSERT_GT(Mails(recovered), 10u);

  std::string info;
  EXPECT_EQ(Shell("pffinfo '" + path + "'", info), 0);
  EXPECT_NE(info.find("64-bit with 4k page"), std::string::npos) << info;
  // The demo's Inbox holds a delivery report, listed with the mails.
  EXPECT_EQ(FromPffexport(path).WithoutEmptyLists(), recovered.WithoutEmptyLists());

  std::multiset<std::string> lspstFolders;
  auto listed = FromLspst(path, &lspstFolders);
  std::multiset<std::string> names;
  for (const std::string& f : recovered.folders) names.insert(f.substr(f.rfind('/') + 1));
  EXPECT_EQ(lspstFolders, names);
  // lspst prints mails, contacts, appointments and journal entries.
  EXPECT_EQ(listed["Email"], Mails(recovered));
  EXPECT_EQ(listed["Contact"], recovered.others.at("contacts"));
  EXPECT_EQ(listed["Appointment"], recovered.others.at("calendar"));
  EXPECT_EQ(listed["Journal"], recovered.others.at("journal"));
}

class PeerStores : public PeerTools, public ::testing::WithParamInterface<Format> {};

TEST_P(PeerStores, PlainAndBenchmarkStoresAreAccepted) {
  const Format format = GetParam();
  NdbOptions ndb;
  ndb.format = format;
  NdbWriter plain(ndb);
  AddMinimalNodes(plain, 30, true);
  const std::string plainPath = (dir_ / "plain.pst").string();
  plain.Write(plainPath);

  MailboxOptions o;
  o.ndb = ndb;
  MailboxBuilder bench(o);
  BenchmarkShape shape;
  shape.folders = 3;
  shape.mailsPerFolder = 8;
  shape.attachmentEvery = 3;
  shape.bodyInSubnodeEvery = 2;
  AddBenchmarkMailbox(bench, shape);
  const std::string benchPath = Write(bench, "bench.ost");

  for (const std::string& path : {plainPath, benchPath}) {
    SCOPED_TRACE(path);
    const Listing recovered = FromRecover(path);
    ASSERT_GT(Mails(recovered), 0u);
    std::string out;
    EXPECT_EQ(Shell("pffinfo '" + path + "'", out), 0);
    EXPECT_EQ(FromPffexport(path).WithoutEmptyLists().mails, recovered.WithoutEmptyLists().mails);
    EXPECT_EQ(FromLspst(path, nullptr)["Email"], Mails(recovered));
  }
}

INSTANTIATE_TEST_SUITE_P(AllVariants, PeerStores,
                         ::testing::Values(Format::Ansi14, Format::Unicode23, Format::Unicode4K),
                         [](const auto& info) {
                           return info.param == Format::Ansi14      ? "Ansi"
                                  : info.param == Format::Unicode23 ? "Unicode"
                                                                    : "Unicode4K";
                         });

}  // namespace
}  // namespace velmorix::storebuilder
