// Every listed item of every sample store written as .msg: the command
// line's export writes one file per item; each file holds every property
// the item reader reads, and three independent readers (olefile, msgconvert
// with Python's email package, @kenjiuno/msgreader) read back its storage
// tree, subject, sender, recipients, body and attachments byte for byte.
// Each reader that is not installed is skipped with a message.
#include <set>
#include <sstream>

#include "cli/export.h"
#include "cli/recover.h"
#include "cli/show.h"
#include "export_test_util.h"
#include "msg_test_util.h"
#include "samples.h"

namespace velmorix::exporting::testing {
namespace {

// The node ids `recover --ids` lists, each once.
std::vector<uint32_t> ListedIds(const std::string& path) {
  std::ostringstream out;
  cli::RecoverOptions options;
  options.format = cli::OutputFormat::Tsv;
  options.ids = true;
  cli::Recover(path, options, out);
  std::vector<uint32_t> ids;
  std::set<uint32_t> seen;
  std::istringstream in(out.str());
  std::string line;
  while (std::getline(in, line)) {
    if (!line.starts_with("row\t")) continue;
    const auto id = static_cast<uint32_t>(std::stoul(line.substr(line.rfind('\t') + 1), nullptr, 16));
    if (seen.insert(id).second) ids.push_back(id);
  }
  return ids;
}

std::string Strings(const std::vector<std::string>& v) {
  std::string j = "[";
  for (size_t i = 0; i < v.size(); ++i) j += (i ? "," : "") + Json(v[i]);
  return j + "]";
}

// What the readers must find in the file of `item`.
std::string ExpectedMsg(content::ItemReader& reader, const content::Item& item, const std::string& path) {
  std::vector<std::string> to, cc, attachments, storages;
  for (const auto& r : item.recipients) {
    if (Email(r).empty()) continue;
    if (r.type == content::RecipientType::To) to.push_back(Email(r));
    if (r.type == content::RecipientType::Cc) cc.push_back(Email(r));
  }
  for (const auto& a : item.attachments) {
    char name[48];
    std::snprintf(name, sizeof name, "__attach_version1.0_#%08X", static_cast<unsigned>(a.index));
    storages.push_back(name);
    if (!a.readable || a.isEmbeddedMessage()) continue;
    std::string bytes;
    reader.ReadAttachment(a, [&](ByteSpan b) {
      bytes.append(AsChars(b));
      return true;
    });
    attachments.push_back(Sha256(bytes));
  }
  storages.push_back("__properties_version1.0");
  storages.push_back("__nameid_version1.0");
  const size_t recipients = std::min(item.recipients.size(), kMaxMsgRecipients);
  return "{\"path\":" + Json(path) + ",\"subject\":" + Json(item.subject) + ",\"from\":" + Json(SenderAddress(item)) +
         ",\"to\":" + Strings(to) + ",\"cc\":" + Strings(cc) + ",\"recipients\":" + std::to_string(recipients) +
         ",\"text\":" + (item.bodies.plain.source == content::BodySource::Stored ? Json(item.bodies.plain.text) : "null") +
         ",\"attachments\":" + Strings(attachments) + ",\"storages\":" + Strings(storages) + "}";
}

int RunCommand(const std::string& command, std::string& output) {
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
  const int status = ::pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The python that has olefile (Debian's, when another python comes first), else python3.
std::string Python() {
  for (const char* p : {"python3", "/usr/bin/python3"}) {
    if (std::system((std::string(p) + " -c 'import olefile' >/dev/null 2>&1").c_str()) == 0) return p;
  }
  return HavePython() ? "python3" : "";
}

// Where @kenjiuno/msgreader was installed (its node_modules folder), or empty.
std::string MsgReaderModules() {
  std::string dir = VELMORIX_NODE_MODULES;
  if (const char* env = std::getenv("VELMORIX_NODE_MODULES"); env && *env) dir = env;
  if (!fs::exists(fs::path(dir) / "@kenjiuno" / "msgreader")) return {};
  return std::system("node --version >/dev/null 2>&1") == 0 ? dir : std::string();
}

TEST(MsgSamples, EveryItemIsWrittenWholeAndReadBackByEveryReader) {
  const std::string dir = velmorix::test::SamplesDir();
  if (!fs::is_directory(dir)) GTEST_SKIP() << "samples not found at " << dir << " (set VELMORIX_SAMPLES)";
  const std::string work = (fs::path(::testing::TempDir()) / ("msg-samples-" + std::to_string(::getpid()))).string();
  fs::create_directories(work);
  std::vector<std::string> expected;
  size_t items = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string ext = e.path().extension().string();
    if (ext != ".pst" && ext != ".ost") continue;
    const std::string name = e.path().filename().string();
    const std::string path = velmorix::test::SamplePath(name);
    SCOPED_TRACE(path);
    const auto ids = ListedIds(path);
    cli::ExportCommand command;
    command.format = Format::Msg;
    command.out = work + "/export-" + name;
    std::ostringstream summary, errors;
    const int status = cli::ExportStore(path, command, summary, errors);
    EXPECT_TRUE(status == 0 || status == cli::kExitSomeUnreadable) << errors.str();
    fs::create_directories(command.out);
    EXPECT_EQ(FilesWith(command.out, ".msg").size(), ids.size());

    auto reader = content::ItemReader::Open(path);
    ASSERT_TRUE(reader);
    for (uint32_t nid : ids) {
      auto item = reader->Read(nid, MsgReadOptions());
      if (!item) continue;
      ++items;
      char file[64];
      std::snprintf(file, sizeof file, "/%zu-%x.msg", expected.size(), nid);
      const std::string msg = work + file;
      EXPECT_EQ(RoundTrip(*reader, *item, msg), std::vector<std::string>{}) << std::hex << nid;
      expected.push_back(ExpectedMsg(*reader, *item, msg));
    }
  }
  EXPECT_GT(items, 0u);
  const std::string expectedPath = work + "/expected.json";
  {
    std::ofstream out(expectedPath, std::ios::binary);
    out << "[";
    for (size_t i = 0; i < expected.size(); ++i) out << (i ? "," : "") << expected[i];
    out << "]";
  }
  const std::string python = Python();
  if (python.empty()) {
    std::cout << "[  SKIPPED ] olefile and msgconvert checks: python3 is not installed\n";
  } else {
    std::string output;
    EXPECT_EQ(RunCommand(python + " '" VELMORIX_CHECK_MSG "' '" + expectedPath + "'", output), 0) << output;
    std::cout << output.substr(0, output.find('\n') + 1);
  }
  if (const std::string modules = MsgReaderModules(); modules.empty()) {
    std::cout << "[  SKIPPED ] @kenjiuno/msgreader check: not installed (scripts/test installs it)\n";
  } else {
    std::string output;
    EXPECT_EQ(RunCommand("node '" VELMORIX_CHECK_MSG_JS "' '" + modules + "' '" + expectedPath + "'", output), 0) << output;
    std::cout << output.substr(0, output.find('\n') + 1);
  }
  std::error_code ec;
  fs::remove_all(work, ec);
}

}  // namespace
}  // namespace velmorix::exporting::testing
