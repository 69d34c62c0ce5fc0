// Reading every item of a store in full through the content layer.
//   content_bench FILE   loads the indexes and the name map, then reads every
//                        message node (bodies, recipients, the properties
//                        view, every attachment's bytes); prints items per
//                        second and the resident memory after the indexes,
//                        after a tenth of the items and at the end, so that
//                        memory growing with the items read shows
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <vector>

#include "content/item_reader.h"
#include "items/items.h"
#include "store/store.h"

namespace {

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
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
    std::fprintf(stderr, "usage: content_bench FILE\n");
    return 64;
  }
  const char* path = argv[1];
  store::Store s;
  if (store::OpenStore(s, path) != 0 || store::LoadIndexes(s) != 0) return 1;
  items::NamedPropertyMap names;
  items::LoadNamedPropertyMap(s, names);
  std::vector<uint32_t> nids;
  std::function<void(const store::NodeEntry*)> walk = [&](const store::NodeEntry* e) {
    for (; e; e = e->nextSibling) {
      if ((e->nid & 0x1F) == 0x04 || (e->nid & 0x1F) == 0x08) nids.push_back(e->nid);
      walk(e->firstChild);
    }
  };
  walk(s.data->nodes.head());
  auto reader = content::ItemReader::Open(path, s.data, &names);
  if (!reader) return 1;
  const double afterIndexes = ResidentMiB();

  content::ReadOptions options;
  options.properties = std::getenv("NOPROPS") == nullptr;
  long items = 0, failed = 0, attachments = 0, recipients = 0;
  uint64_t bodyBytes = 0, attachmentBytes = 0;
  double atTenth = 0;
  const auto t0 = std::chrono::steady_clock::now();
  const double cpu0 = CpuSeconds();
  for (size_t i = 0; i < nids.size(); ++i) {
    auto item = reader->Read(nids[i], options);
    if (!item) {
      ++failed;
      continue;
    }
    ++items;
    recipients += static_cast<long>(item->recipients.size());
    bodyBytes += item->bodies.plain.text.size() + item->bodies.html.text.size() + item->bodies.rtf.text.size();
    for (const content::Attachment& a : item->attachments) {
      ++attachments;
      reader->ReadAttachment(a, [&](ByteSpan b) {
        attachmentBytes += b.size();
        return true;
      });
    }
    if (i + 1 == nids.size() / 10) atTenth = ResidentMiB();
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = CpuSeconds() - cpu0;
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("%ld items (%ld unreadable) in %.2f s (cpu %.2f s): %.0f items/s (%.0f per cpu s); "
              "%ld recipients, %.1f MiB of bodies, "
              "%ld attachments (%.1f MiB); resident MiB after the indexes %.0f, after a tenth %.0f, "
              "at the end %.0f; peak %.0f MiB\n",
              items, failed, secs, cpu, static_cast<double>(items) / secs, static_cast<double>(items) / cpu, recipients,
              static_cast<double>(bodyBytes) / 1048576.0, attachments, static_cast<double>(attachmentBytes) / 1048576.0,
              afterIndexes, atTenth, ResidentMiB(), static_cast<double>(ru.ru_maxrss) / 1024.0);
  return failed == 0 ? 0 : 1;
}
