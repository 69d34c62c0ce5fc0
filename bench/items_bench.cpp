// Item-building benchmark.
//   items_bench write N FILE   writes a Unicode store with N mails (40-character
//                              subjects, 1 KiB transport headers, 4 KiB bodies
//                              alternately in the heap and in subnodes, one
//                              attachment in ten)
//   items_bench build FILE     loads the store and builds every item of the node
//                              tree; prints items per second and the peak memory
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "items/items.h"
#include "storebuilder/mailbox.h"

namespace {

int Write(long n, const char* path) {
  using namespace velmorix::storebuilder;
  MailboxOptions o;
  o.ndb.format = Format::Unicode23;
  MailboxBuilder b(o);
  uint32_t folder = 0;
  for (long i = 0; i < n; ++i) {
    if (i % 1000 == 0) folder = b.AddFolder(b.topFolder(), "Folder " + std::to_string(i / 1000));
    MailFields f;
    f.subject = "Subject line number " + std::to_string(i) + std::string(40, '.');
    f.subject.resize(40);
    f.senderName = "Sender " + std::to_string(i % 97);
    f.displayTo = "Receiver " + std::to_string(i % 89);
    f.transportHeaders = std::string(512, 'h');
    // 4 KiB bodies: 1700 UTF-16 characters fit a heap allocation, 2048 do not.
    f.body = std::string(i % 2 ? 2048 : 1700, 'b');
    f.bodyInSubnode = i % 2 != 0;
    Item mail = MakeMail(f);
    if (i % 10 == 0) {
      Attachment a;
      a.fileName = "file" + std::to_string(i) + ".txt";
      a.data = velmorix::Buffer(1024, std::byte{'a'});
      mail.attachments.push_back(a);
    }
    b.AddItem(folder, mail);
  }
  b.Write(path);
  std::printf("wrote %s: %ld mails\n", path, n);
  return 0;
}

int Build(const char* path) {
  using namespace velmorix;
  store::Store s;
  if (store::OpenStore(s, path) != 0 || store::LoadIndexes(s) != 0) return 1;
  items::NamedPropertyMap names;
  items::LoadNamedPropertyMap(s, names);
  items::ItemContext ctx(s, &names);
  long built = 0, mails = 0, attachments = 0, nodes = 0;
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  auto t0 = std::chrono::steady_clock::now();
  std::function<void(const store::NodeEntry*)> walk = [&](const store::NodeEntry* e) {
    for (; e; e = e->nextSibling) {
      ++nodes;
      if (auto item = items::BuildItem(ctx, e)) {
        ++built;
        if (item->kind == items::kKindMail) ++mails;
        attachments += static_cast<long>(item->attachments.size());
      }
      walk(e->firstChild);
    }
  };
  walk(s.data->nodes.head());
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto cpu = [](const rusage& r) {
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
  };
  const double cpuSecs = cpu(ru) - cpu(before);
  std::printf("%s\tnodes %ld\titems %ld\tmails %ld\tattachments %ld\t%.3f s (cpu %.3f s)\t%.0f items/s"
              " (%.0f per cpu s)\tpeak %.1f MiB\n",
              path, nodes, built, mails, attachments, secs, cpuSecs, built / secs, built / cpuSecs,
              ru.ru_maxrss / 1024.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "write") == 0) return Write(std::atol(argv[2]), argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "build") == 0) return Build(argv[2]);
  std::fprintf(stderr, "usage: items_bench write N FILE | build FILE\n");
  return 64;
}
