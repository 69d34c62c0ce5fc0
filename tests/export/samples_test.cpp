// Every sample store exported whole: one file per listed item, every message
// parses strictly and keeps what the item reader reads (attachments byte for
// byte), every vCard and iCalendar file parses.
#include <libical/ical.h>

#include <map>
#include <set>
#include <sstream>

#include "cli/export.h"
#include "cli/recover.h"
#include "export_test_util.h"
#include "samples.h"

namespace velmorix::exporting::testing {
namespace {

// The listed items of a store by kind ("mail", "contacts", ...), each once,
// as recover --ids prints them: the kind by the row's picture.
std::map<std::string, std::vector<uint32_t>> Listed(const std::string& path) {
  std::ostringstream out;
  cli::RecoverOptions options;
  options.format = cli::OutputFormat::Tsv;
  options.ids = true;
  cli::Recover(path, options, out);
  std::map<std::string, std::vector<uint32_t>> listed;
  std::set<uint32_t> seen;
  std::istringstream in(out.str());
  std::string line;
  while (std::getline(in, line)) {
    if (!line.starts_with("row\t")) continue;
    const uint32_t id = static_cast<uint32_t>(std::stoul(line.substr(line.rfind('\t') + 1), nullptr, 16));
    if (!seen.insert(id).second) continue;
    static const std::map<int, std::string> kKinds = {{0, "calendar"}, {1, "contacts"}, {5, "journal"},
                                                     {7, "notes"}, {10, "tasks"}};
    const auto kind = kKinds.find(std::stoi(line.substr(4)));
    listed[kind == kKinds.end() ? "mail" : kind->second].push_back(id);
  }
  return listed;
}

TEST(ExportSamples, EverySampleExportsEveryListedItemInFilesThatParse) {
  const std::string dir = velmorix::test::SamplesDir();
  if (!fs::is_directory(dir)) GTEST_SKIP() << "samples not found at " << dir << " (set VELMORIX_SAMPLES)";
  const bool python = HavePython();
  const std::string work = (fs::path(::testing::TempDir()) / ("export-samples-" + std::to_string(::getpid()))).string();
  size_t stores = 0;
  // All messages are checked by one run of the parser at the end.
  std::vector<std::string> expected, files;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string ext = e.path().extension().string();
    if (ext != ".pst" && ext != ".ost") continue;
    ++stores;
    // A private copy: other test processes may hold the sample open.
    const std::string path = velmorix::test::SamplePath(e.path().filename().string());
    SCOPED_TRACE(path);
    const std::string out = work + "/" + e.path().filename().string();
    cli::ExportCommand command;
    command.format = Format::All;
    command.out = out;
    std::ostringstream summary, errors;
    ASSERT_EQ(cli::ExportStore(path, command, summary, errors), 0) << errors.str();

    auto listed = Listed(path);
    const size_t events = listed["calendar"].size() + listed["tasks"].size() + listed["journal"].size();
    fs::create_directories(out);
    EXPECT_EQ(FilesWith(out, ".eml").size(), listed["mail"].size());
    EXPECT_EQ(FilesWith(out, ".vcf").size(), listed["contacts"].size());
    EXPECT_EQ(FilesWith(out, ".ics").size(), events);
    EXPECT_EQ(FilesWith(out, ".txt").size(), listed["notes"].size());
    for (const auto& f : FilesWith(out, ".ics")) {
      std::ifstream in(f, std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(in)), {});
      icalcomponent* c = icalparser_parse_string(text.c_str());
      ASSERT_TRUE(c) << f;
      EXPECT_EQ(icalcomponent_count_errors(c), 0) << f;
      icalcomponent_free(c);
    }
    if (!python || listed["mail"].empty()) continue;
    auto reader = content::ItemReader::Open(path);
    ASSERT_TRUE(reader);
    content::ReadOptions options;
    options.properties = false;
    for (uint32_t nid : listed["mail"]) {
      if (auto item = reader->Read(nid, options)) expected.push_back(Expected(*reader, *item));
    }
    for (auto& f : FilesWith(out, ".eml")) files.push_back(std::move(f));
  }
  EXPECT_GT(stores, 0u);
  if (python) {
    const CheckResult r = CheckMessages("eml", expected, files, work);
    EXPECT_EQ(r.status, 0) << r.output;
  }
  std::error_code ec;
  fs::remove_all(work, ec);
}

}  // namespace
}  // namespace velmorix::exporting::testing
