// Searches of a recovered store.
//   search_bench FILE   recovers FILE as velmorix-cli does, then times a
//                       headline search (subject, from, to) over every
//                       listed row, and a search of bodies and attachment
//                       names over up to 100,000 items read from the file;
//                       prints the times, the rate, and the resident memory
//                       before and after the body search (flat memory: the
//                       two stay close); the body search also in this
//                       thread's processor time
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <vector>

#include "cli/cli_view.h"
#include "content/item_reader.h"
#include "search/content_search.h"
#include "search/listed_search.h"
#include "session/session.h"
#include "session/session_data.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// This thread's processor time, which other work on a loaded machine does not inflate.
double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double ResidentMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velmorix;
  if (argc != 2) {
    std::fprintf(stderr, "usage: search_bench FILE\n");
    return 64;
  }
  const std::string path = argv[1];
  cli::CliView view;
  session::RecoverySession session(view);
  cli::RunToEnd(session, view, path, nullptr, nullptr);
  if (session.outcome() != session::RunOutcome::Finished) return 1;

  // Headline: a text no row holds, so that every row is looked at.
  search::Query headline;
  headline.text = "Zq\xC3\x9C" "ckx no row holds this";
  const search::Matcher none(headline);
  size_t rows = 0;
  auto start = Clock::now();
  search::ForEachRow(view.tree(), session.data(), none, [&](const search::RowInList&) { return true; });
  const double headlineSeconds = Seconds(start);
  search::ForEachRow(view.tree(), session.data(), search::Matcher(search::Query{}), [&](const search::RowInList&) {
    ++rows;
    return true;
  });
  std::printf("headline search: %zu rows in %.3f s (%.0f rows/s)\n", rows, headlineSeconds,
              headlineSeconds > 0 ? static_cast<double>(rows) / headlineSeconds : 0.0);

  // Bodies and attachment names of up to 100,000 items.
  std::vector<uint32_t> ids;
  search::ForEachRow(view.tree(), session.data(), search::Matcher(search::Query{}), [&](const search::RowInList& r) {
    ids.push_back(r.row.nodeId);
    return ids.size() < 100000;
  });
  auto reader = content::ItemReader::Open(path, session.data().storeData, &session.data().names);
  if (!reader) return 1;
  search::Query body = headline;
  body.fields = search::kBody | search::kAttachments;
  const search::Matcher inBody(body);
  const double before = ResidentMiB();
  size_t found = 0;
  start = Clock::now();
  const double cpuStart = ThreadSeconds();
  for (uint32_t id : ids) found += search::ContentMatches(inBody, *reader, id) ? 1 : 0;
  const double bodySeconds = Seconds(start);
  const double cpuSeconds = ThreadSeconds() - cpuStart;
  std::printf("body search: %zu items in %.3f s (%.0f items/s; processor %.3f s, %.0f items/s), %zu found; "
              "resident %.0f MiB before, %.0f MiB after\n",
              ids.size(), bodySeconds, bodySeconds > 0 ? static_cast<double>(ids.size()) / bodySeconds : 0.0,
              cpuSeconds, cpuSeconds > 0 ? static_cast<double>(ids.size()) / cpuSeconds : 0.0, found, before,
              ResidentMiB());
  return 0;
}
