// The personal-folders writer and the conversion, end to end: converted
// samples pass the structure check, recover and read as their sources did,
// open in the other readers; damaged files fail the check; a stop or a
// failing write leaves nothing; an existing file is never replaced.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "content/item_reader.h"
#include "export/pst_convert.h"
#include "pst/messaging.h"
#include "pst_check.h"
#include "samples.h"

namespace velmorix::test {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Ran {
  int status = -1;
  std::string out, err;
};

// Runs a program with its arguments; `limit` caps the size of files it writes.
Ran Exec(const std::vector<std::string>& args, const fs::path& dir, rlim_t limit = RLIM_INFINITY) {
  const fs::path out = dir / ".out", err = dir / ".err";
  std::fflush(nullptr);  // a child must not write out what is buffered here
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (limit != RLIM_INFINITY) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit r{limit, limit};
      ::setrlimit(RLIMIT_FSIZE, &r);
    }
    if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) ::_exit(126);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int ws = 0;
  ::waitpid(pid, &ws, 0);
  Ran r;
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  r.out = Slurp(out);
  r.err = Slurp(err);
  fs::remove(out);
  fs::remove(err);
  return r;
}

bool Installed(const char* program) {
  return std::system((std::string("command -v ") + program + " > /dev/null 2>&1").c_str()) == 0;
}

class Pst : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velmorix-pst-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Ran Convert(const std::string& source, const fs::path& to, rlim_t limit = RLIM_INFINITY) {
    return Exec({VELMORIX_CLI, "export", "--format", "pst", "--quiet", "--out", to.string(), source}, dir_, limit);
  }
  // The folder, list and row records of a recovery, rows with their item ids.
  std::vector<std::string> Listing(const std::string& file) {
    const Ran r = Exec({VELMORIX_CLI, "recover", "--format", "tsv", "--ids", file}, dir_);
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("folder\t", 0) == 0 || line.rfind("list\t", 0) == 0 || line.rfind("row\t", 0) == 0) {
        lines.push_back(line);
      }
    }
    return lines;
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    return names;
  }

  fs::path dir_;
};

// The rows without their ids, and the ids in order.
std::pair<std::vector<std::string>, std::vector<uint32_t>> SplitIds(const std::vector<std::string>& lines) {
  std::vector<std::string> shown;
  std::vector<uint32_t> ids;
  for (const std::string& l : lines) {
    if (l.rfind("row\t", 0) != 0) {
      shown.push_back(l);
      continue;
    }
    const size_t tab = l.rfind('\t');
    shown.push_back(l.substr(0, tab));
    ids.push_back(static_cast<uint32_t>(std::stoul(l.substr(tab + 1), nullptr, 16)));
  }
  return {shown, ids};
}

std::string KeyOf(const content::RawProperty& p) {
  std::ostringstream k;
  if (p.named) {
    for (uint8_t b : p.guid) k << int(b) << '.';
    k << (p.stringNamed ? p.name : std::to_string(p.lid));
  } else {
    k << p.id;
  }
  // 8-bit texts are written as Unicode.
  const uint16_t type = (p.type & 0x0FFF) == 0x001E ? static_cast<uint16_t>(p.type + 1) : p.type;
  k << '/' << type;
  return k.str();
}

// What the conversion leaves out or sets itself.
bool Rewritten(const content::RawProperty& p) {
  if (p.id == 0x0FFF || p.id == 0x0E09 || p.id == 0x0E07 || p.id == 0x3617) return true;
  return p.type == 0x0102 && p.value.size() >= 24 && p.value.compare(0, 4, std::string(4, '\0')) == 0;
}

void ExpectSameProperties(const std::vector<content::RawProperty>& a, const std::vector<content::RawProperty>& b,
                          const std::string& what) {
  std::map<std::string, const content::RawProperty*> got;
  for (const auto& p : b) got[KeyOf(p)] = &p;
  for (const auto& p : a) {
    if (p.id >= 0x8000 && !p.named) continue;
    if (Rewritten(p)) continue;
    auto it = got.find(KeyOf(p));
    if (it == got.end()) {
      ADD_FAILURE() << what << ": property " << KeyOf(p) << " is missing";
    } else if ((p.type & 0x0FFF) != 0x001E && (it->second->value != p.value || it->second->values != p.values)) {
      ADD_FAILURE() << what << ": property " << KeyOf(p) << " differs";
    }
  }
}

void ExpectSameItem(content::ItemReader& ra, const content::Item& a, content::ItemReader& rb, const content::Item& b,
                    const std::string& what) {
  ExpectSameProperties(a.raw, b.raw, what);
  ASSERT_EQ(a.recipients.size(), b.recipients.size()) << what;
  for (size_t i = 0; i < a.recipients.size(); ++i) {
    ExpectSameProperties(a.recipients[i].raw, b.recipients[i].raw, what + " recipient");
  }
  ASSERT_EQ(a.attachments.size(), b.attachments.size()) << what;
  content::ReadOptions raw;
  raw.properties = false;
  raw.raw = true;
  for (size_t i = 0; i < a.attachments.size(); ++i) {
    const auto& x = a.attachments[i];
    const auto& y = b.attachments[i];
    ExpectSameProperties(x.raw, y.raw, what + " attachment");
    EXPECT_EQ(x.isEmbeddedMessage(), y.isEmbeddedMessage()) << what;
    if (x.isEmbeddedMessage() && x.readable) {
      auto ex = ra.ReadEmbedded(x, raw);
      auto ey = rb.ReadEmbedded(y, raw);
      ASSERT_TRUE(ex && ey) << what;
      ExpectSameItem(ra, *ex, rb, *ey, what + " embedded");
    } else if (x.readable) {
      EXPECT_EQ(ra.ReadAttachmentBytes(x, 1 << 30), rb.ReadAttachmentBytes(y, 1 << 30)) << what << " attachment data";
    }
  }
}

// Where the pst-extractor package is installed (its node_modules folder), or
// empty when it or node is missing.
std::string PstExtractorModules() {
  std::string dir = VELMORIX_NODE_MODULES;
  if (const char* env = std::getenv("VELMORIX_NODE_MODULES"); env && *env) dir = env;
  if (!fs::exists(fs::path(dir) / "pst-extractor")) return {};
  return Installed("node") ? dir : std::string();
}

// What pst-extractor should read from each item of `ids`, as our reader reads
// it: the subject, and per attachment its bytes or "msg" when embedded.
std::multiset<std::string> ItemLines(content::ItemReader& reader, const std::vector<uint32_t>& ids) {
  std::multiset<std::string> lines;
  for (uint32_t id : ids) {
    auto item = reader.Read(id);
    if (!item) {
      ADD_FAILURE() << "item " << id << " cannot be read";
      continue;
    }
    std::string line = item->subject + "\t";
    for (size_t i = 0; i < item->attachments.size(); ++i) {
      const auto& a = item->attachments[i];
      const auto bytes = a.isEmbeddedMessage() ? std::nullopt : reader.ReadAttachmentBytes(a, 1 << 30);
      line += (i ? "," : "") + (a.isEmbeddedMessage() ? std::string("msg") : std::to_string(bytes ? bytes->size() : 0));
    }
    lines.insert(line);
  }
  return lines;
}

// pst-extractor, an independent reader, walks every folder of each file and
// reads every item's subject and attachments as `expected` has them. One run
// of it for all files: its start takes longer than most walks.
void ExpectPstExtractorWalks(const std::string& modules, const std::map<std::string, std::multiset<std::string>>& expected,
                             const fs::path& dir) {
  std::vector<std::string> args = {"timeout", "300", "node", VELMORIX_WALK_PST, fs::path(modules).parent_path().string()};
  for (const auto& [file, _] : expected) args.push_back(file);
  // A reader that loops on a faulty file is stopped.
  const Ran r = Exec(args, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<std::string, std::multiset<std::string>> walked;
  std::istringstream in(r.out);
  std::string file;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("file\t", 0) == 0) {
      file = line.substr(5);
      walked[file];
    } else if (line.rfind("item\t", 0) == 0) {
      walked[file].insert(line.substr(line.find('\t', 5) + 1));
    } else if (line.rfind("error\t", 0) == 0) {
      ADD_FAILURE() << line;
    }
  }
  for (const auto& [f, lines] : expected) EXPECT_EQ(walked[f], lines) << f;
}

TEST_F(Pst, EverySampleConvertsToAFileThatPassesTheCheckAndReadsAsItsSource) {
  const std::string walker = PstExtractorModules();
  if (walker.empty()) std::cout << "[  SKIPPED ] pst-extractor walk: node or the package is not installed\n";
  std::map<std::string, std::multiset<std::string>> walks;
  REQUIRE_SAMPLE("outlook.pst");
  size_t converted = 0;
  for (const auto& e : fs::directory_iterator(SamplesDir())) {
    const std::string name = e.path().filename().string();
    if (e.path().extension() != ".pst" && e.path().extension() != ".ost") continue;
    SCOPED_TRACE(name);
    const std::string source = SamplePath(name);
    const fs::path out = dir_ / (name + ".converted.pst");
    const Ran r = Convert(source, out);
    ASSERT_EQ(r.status, 0) << r.err;
    ++converted;
    EXPECT_EQ(CheckPst(out.string()), std::vector<std::string>{});

    auto [before, idsBefore] = SplitIds(Listing(source));
    auto [after, idsAfter] = SplitIds(Listing(out.string()));
    // A file always has a Deleted Items folder: one the source lacks is added, empty.
    if (std::find(before.begin(), before.end(), "folder\tPersonal Folders\\Deleted Items\\") == before.end()) {
      std::erase_if(after, [](const std::string& l) {
        return l.find("\tPersonal Folders\\Deleted Items\\") != std::string::npos;
      });
    }
    EXPECT_EQ(before, after);
    ASSERT_EQ(idsBefore.size(), idsAfter.size());

    auto ra = content::ItemReader::Open(source);
    auto rb = content::ItemReader::Open(out.string());
    ASSERT_TRUE(ra && rb);
    content::ReadOptions raw;
    raw.properties = false;
    raw.raw = true;
    for (size_t i = 0; i < idsBefore.size(); ++i) {
      auto a = ra->Read(idsBefore[i], raw);
      auto b = rb->Read(idsAfter[i], raw);
      ASSERT_TRUE(a && b);
      ExpectSameItem(*ra, *a, *rb, *b, name + " item " + std::to_string(idsBefore[i]));
    }
    if (!walker.empty()) {
      walks[out.string()] = ItemLines(*rb, idsAfter);
    } else {
      fs::remove(out);
    }
  }
  EXPECT_GT(converted, 10u);
  if (!walker.empty()) ExpectPstExtractorWalks(walker, walks, dir_);
}

TEST_F(Pst, OtherReadersOpenTheConvertedFiles) {
  REQUIRE_SAMPLE("97_outlook_pass12345.pst");
  if (!Installed("pffinfo") || !Installed("readpst") || !Installed("lspst")) {
    GTEST_SKIP() << "pff-tools and pst-utils are not installed";
  }
  for (const char* name : {"97_outlook_pass12345.pst", "msgInMsg.pst", "testPST.pst", "outlook.pst"}) {
    SCOPED_TRACE(name);
    const std::string source = SamplePath(name);
    const fs::path out = dir_ / "converted.pst";
    ASSERT_EQ(Convert(source, out).status, 0);
    EXPECT_EQ(Exec({"pffinfo", out.string()}, dir_).status, 0);
    // As many items as the source gives readpst, folder by folder. readpst
    // now and then skips an item of a file it otherwise reads whole (about one
    // run in thirty, the sample itself included): each folder counts the most
    // of three runs.
    auto files = [&](const std::string& file) {
      std::map<std::string, size_t> most;
      for (int run = 0; run < 3; ++run) {
        const fs::path into = dir_ / "readpst";
        fs::create_directories(into);
        EXPECT_EQ(Exec({"readpst", "-e", "-o", into.string(), file}, dir_).status, 0);
        std::map<std::string, size_t> n;
        for (const auto& f : fs::recursive_directory_iterator(into)) {
          if (f.is_regular_file()) ++n[fs::relative(f.path().parent_path(), into).string()];
        }
        fs::remove_all(into);
        for (const auto& [folder, count] : n) most[folder] = std::max(most[folder], count);
      }
      return most;
    };
    const auto a = files(source), b = files(out.string());
    for (const auto& [folder, count] : a) EXPECT_GE(b.count(folder) ? b.at(folder) : 0, count) << folder;
    // lspst sees every folder and item it sees in the source (the recovery may find more).
    auto lines = [&](const std::string& file) {
      const Ran r = Exec({"lspst", file}, dir_);
      std::map<std::string, size_t> n;
      std::istringstream in(r.out);
      for (std::string line; std::getline(in, line);) ++n[line];
      return std::make_pair(r.status, n);
    };
    const auto [status, listed] = lines(out.string());
    EXPECT_EQ(status, 0);
    for (const auto& [line, count] : lines(source).second) {
      EXPECT_GE(listed.count(line) ? listed.at(line) : 0, count) << line;
    }
    const fs::path exported = dir_ / "pffexport";
    EXPECT_EQ(Exec({"pffexport", "-q", "-t", exported.string(), out.string()}, dir_).status, 0);
    fs::remove_all(exported.string() + ".export");
    fs::remove(exported.string() + ".log");
    fs::remove(out);
  }
}

// Builder stores of every source variant (ANSI, Unicode, 4 KiB pages), with
// attachments and bodies in subnodes: the converted file passes the check,
// lists as its source and shows every item to each other reader.
TEST_F(Pst, BuilderStoresOfEveryVariantConvertForEveryReader) {
  const bool peers = Installed("pffinfo") && Installed("readpst") && Installed("lspst") && Installed("pffexport");
  if (!peers) std::cout << "[  SKIPPED ] pff-tools and pst-utils: not installed\n";
  const std::string walker = PstExtractorModules();
  std::map<std::string, std::multiset<std::string>> walks;
  for (const char* variant : {"ansi14", "unicode", "unicode4k"}) {
    SCOPED_TRACE(variant);
    const fs::path source = dir_ / (std::string(variant) + ".ost"), out = dir_ / (std::string(variant) + ".pst");
    ASSERT_EQ(Exec({VELMORIX_MKSTORE, "--format", variant, "--folders", "3", "--mails-per-folder", "6",
                    "--attachment-every", "2", "--body-in-subnode-every", "3", source.string()}, dir_).status, 0);
    ASSERT_EQ(Convert(source.string(), out).status, 0);
    EXPECT_EQ(CheckPst(out.string()), std::vector<std::string>{});
    auto [before, idsBefore] = SplitIds(Listing(source.string()));
    auto [after, idsAfter] = SplitIds(Listing(out.string()));
    EXPECT_EQ(before, after);
    ASSERT_EQ(idsAfter.size(), 18u);
    if (peers) {
      EXPECT_EQ(Exec({"pffinfo", out.string()}, dir_).status, 0);
      const Ran listed = Exec({"lspst", out.string()}, dir_);
      EXPECT_EQ(listed.status, 0);
      EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n') - 3, 18);  // an item a line, 3 folder lines
      // readpst now and then skips an item of a file it otherwise reads whole: the most of three runs.
      size_t most = 0;
      for (int run = 0; run < 3 && most < 18; ++run) {
        const fs::path into = dir_ / "readpst";
        fs::create_directories(into);
        EXPECT_EQ(Exec({"readpst", "-e", "-o", into.string(), out.string()}, dir_).status, 0);
        size_t n = 0;
        for (const auto& f : fs::recursive_directory_iterator(into)) n += f.is_regular_file();
        most = std::max(most, n);
        fs::remove_all(into);
      }
      EXPECT_EQ(most, 18u);
      const fs::path exported = dir_ / "pffexport";
      EXPECT_EQ(Exec({"pffexport", "-q", "-t", exported.string(), out.string()}, dir_).status, 0);
      size_t messages = 0;
      for (const auto& f : fs::recursive_directory_iterator(exported.string() + ".export")) {
        messages += f.is_directory() && f.path().filename().string().rfind("Message", 0) == 0 &&
                    f.path().parent_path().filename() != "Attachments";
      }
      EXPECT_EQ(messages, 18u);
      fs::remove_all(exported.string() + ".export");
      fs::remove(exported.string() + ".log");
    }
    if (!walker.empty()) {
      auto reader = content::ItemReader::Open(out.string());
      ASSERT_TRUE(reader);
      walks[out.string()] = ItemLines(*reader, idsAfter);
    }
  }
  if (!walker.empty()) ExpectPstExtractorWalks(walker, walks, dir_);
}

TEST_F(Pst, AConversionLargerThanTheLimitIsSplitIntoWholeFiles) {
  REQUIRE_SAMPLE("97_outlook_pass12345.pst");
  const std::string source = SamplePath("97_outlook_pass12345.pst");
  const fs::path out = dir_ / "split.pst";
  const Ran r = Exec({VELMORIX_CLI, "export", "--format", "pst", "--quiet", "--max-size", "3000000", "--out",
                      out.string(), source}, dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  size_t rows = 0, parts = 0;
  for (const std::string& name : Entries()) {
    const fs::path part = dir_ / name;
    EXPECT_LE(fs::file_size(part), 3'000'000u) << name;
    EXPECT_EQ(CheckPst(part.string()), std::vector<std::string>{}) << name;
    EXPECT_NE(r.out.find(part.string()), std::string::npos) << r.out;
    for (const std::string& l : Listing(part.string())) rows += l.rfind("row\t", 0) == 0;
    ++parts;
  }
  EXPECT_GE(parts, 4u);
  EXPECT_TRUE(fs::exists(out) && fs::exists(dir_ / "split-2.pst"));
  EXPECT_EQ(rows, SplitIds(Listing(source)).second.size());
}

// A writer-made file with large shapes: a data tree over XBLOCKs (the first
// of 400 attachments holds `big`), more subnodes than one subnode block
// holds, recipient and contents tables whose row matrices span blocks, heaps
// of many pages (with 3,000 small messages, a row index of two levels).
void WriteLargeShapes(const fs::path& out, const std::string& big, int smallMessages) {
  pst::PstWriter w(out.string(), {});
  const uint32_t folder = w.AddFolder(w.top(), "Many");
  auto text = [](const std::string& s) {
    pst::Bytes b;
    for (char c : s) {
      b.push_back(std::byte(c));
      b.push_back(std::byte{0});
    }
    return b;
  };
  pst::Message m;
  m.properties.push_back({0x001A, 0x001F, std::nullopt, text("IPM.Note")});
  m.properties.push_back({0x0037, 0x001F, std::nullopt, text("large")});
  for (int i = 0; i < 400; ++i) {
    m.recipients.push_back({{0x3001, 0x001F, std::nullopt, text("recipient " + std::to_string(i))},
                            {0x0C15, 0x0003, std::nullopt, pst::Bytes{std::byte{1}, {}, {}, {}}}});
  }
  for (int i = 0; i < 400; ++i) {
    pst::Attachment a;
    a.properties.push_back({0x3705, 0x0003, std::nullopt, pst::Bytes{std::byte{1}, {}, {}, {}}});
    a.properties.push_back({0x3707, 0x001F, std::nullopt, text("file" + std::to_string(i) + ".bin")});
    const std::string* data = &big;
    const size_t n = i == 0 ? big.size() : 5000;
    a.data = [data, n](const std::function<void(pst::ByteRange)>& sink) {
      for (size_t at = 0; at < n; at += 100'000) {
        sink(pst::ByteRange(reinterpret_cast<const std::byte*>(data->data()) + at, std::min<size_t>(100'000, n - at)));
      }
      return true;
    };
    m.attachments.push_back(std::move(a));
  }
  w.AddMessage(folder, m);
  pst::Message small;
  small.properties.push_back({0x0037, 0x001F, std::nullopt, text("a subject that fills the contents table")});
  for (int i = 0; i < smallMessages; ++i) w.AddMessage(folder, small);
  w.Finish();
}

std::string BigValue() {
  std::string big(9'000'000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 5);
  return big;
}

TEST_F(Pst, LargeShapesPassTheCheckAndReadBack) {
  const fs::path out = dir_ / "large.pst";
  const std::string big = BigValue();
  WriteLargeShapes(out, big, 3000);
  EXPECT_EQ(CheckPst(out.string()), std::vector<std::string>{});
  auto reader = content::ItemReader::Open(out.string());
  ASSERT_TRUE(reader);
  auto item = reader->Read(0x200024);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->recipients.size(), 400u);
  ASSERT_EQ(item->attachments.size(), 400u);
  auto bytes = reader->ReadAttachmentBytes(item->attachments[0], 1 << 30);
  ASSERT_TRUE(bytes);
  EXPECT_TRUE(bytes->size() == big.size() && std::memcmp(bytes->data(), big.data(), big.size()) == 0);
  EXPECT_EQ(item->attachments[399].fileName, "file399.bin");
}

// The same shapes with fewer messages (pst-extractor reads each whole, slowly).
TEST_F(Pst, PstExtractorReadsTheLargeShapes) {
  const std::string walker = PstExtractorModules();
  if (walker.empty()) GTEST_SKIP() << "node or the pst-extractor package is not installed";
  const fs::path out = dir_ / "large.pst";
  WriteLargeShapes(out, BigValue(), 600);
  auto reader = content::ItemReader::Open(out.string());
  ASSERT_TRUE(reader);
  ExpectPstExtractorWalks(walker, {{out.string(), ItemLines(*reader, SplitIds(Listing(out.string())).second)}}, dir_);
}

TEST_F(Pst, DamagedCopiesFailTheCheck) {
  REQUIRE_SAMPLE("msgInMsg.pst");
  const fs::path out = dir_ / "good.pst";
  ASSERT_EQ(Convert(SamplePath("msgInMsg.pst"), out).status, 0);
  ASSERT_EQ(CheckPst(out.string()), std::vector<std::string>{});
  const std::string good = Slurp(out);
  auto damaged = [&](const std::function<void(std::string&)>& change) {
    std::string bytes = good;
    change(bytes);
    const fs::path bad = dir_ / "bad.pst";
    std::ofstream(bad, std::ios::binary) << bytes;
    const auto faults = CheckPst(bad.string());
    fs::remove(bad);
    return faults;
  };
  auto u64 = [&](size_t at) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(good[at + i])) << (8 * i);
    return v;
  };
  EXPECT_FALSE(damaged([](std::string& b) { b[0x20] ^= 1; }).empty());            // header field, CRC kept
  EXPECT_FALSE(damaged([](std::string& b) { b[0x4400 + 300] ^= 0x40; }).empty());  // an allocation bit
  EXPECT_FALSE(damaged([&](std::string& b) { b[u64(240) + 10] ^= 1; }).empty());   // a block index page
  EXPECT_FALSE(damaged([&](std::string& b) { b[u64(224) + 3] ^= 1; }).empty());    // a node index page
  EXPECT_FALSE(damaged([](std::string& b) { b[0x4A00] ^= 1; }).empty());           // the first block
  EXPECT_FALSE(damaged([](std::string& b) { b.resize(b.size() - 512); }).empty());  // cut short
}

TEST_F(Pst, AStopOrAFailingWriteLeavesNoFileAndAnExistingFileIsKept) {
  REQUIRE_SAMPLE("97_outlook_pass12345.pst");
  const std::string source = SamplePath("97_outlook_pass12345.pst");
  const fs::path out = dir_ / "out.pst";

  // A file system that fills up midway.
  const Ran full = Convert(source, out, 2'000'000);
  EXPECT_NE(full.status, 0);
  EXPECT_NE(full.err.find("File too large"), std::string::npos) << full.err;
  EXPECT_EQ(Entries(), std::vector<std::string>{});

  // A stop after the first item.
  auto reader = content::ItemReader::Open(source);
  ASSERT_TRUE(reader);
  auto [_, ids] = SplitIds(Listing(source));
  ASSERT_GT(ids.size(), 2u);
  exporting::PstOptions options;
  options.destination = out.string();
  const exporting::PstResult stopped = exporting::ConvertToPst(
      *reader, {{{"Personal Folders"}, 0}}, {{{"Personal Folders"}, exporting::ListKind::Mail, ids}}, options,
      [](const exporting::Progress& p) { return p.itemsDone < 1; });
  EXPECT_TRUE(stopped.cancelled);
  EXPECT_EQ(Entries(), std::vector<std::string>{});

  // An existing file is refused, before and after the recovery.
  std::ofstream(out) << "mine";
  const Ran refused = Convert(source, out);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("exists"), std::string::npos);
  EXPECT_EQ(Slurp(out), "mine");
  const exporting::PstResult late = exporting::ConvertToPst(*reader, {}, {}, options);
  EXPECT_NE(late.error.find("exists"), std::string::npos);
  EXPECT_EQ(Slurp(out), "mine");
  EXPECT_EQ(Entries(), std::vector<std::string>{"out.pst"});
}

}  // namespace
}  // namespace velmorix::test
