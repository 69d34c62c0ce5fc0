// Sorting the window's item list.
//   list_sort_bench [ROWS]   fills an item list with ROWS mail rows (100,000
//                            by default; subjects and dates in no order),
//                            shows it offscreen and times a sort by subject,
//                            by date, and the reverse: the model's sort alone
//                            (a second model of the same rows, without a
//                            view) and the whole sort with the view laid out
//                            and painted. Prints milliseconds of wall time
//                            and of this thread's processor time (which a
//                            loaded machine does not inflate)
#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "session/folder_list.h"
#include "ui/item_list.h"
#include "ui/item_list_model.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
  velmorix::session::ListContent content;
  content.changes = true;
  content.columnSet = velmorix::session::ColumnSet::Mail;
  uint32_t x = 12345;
  for (int i = 0; i < count; ++i) {
    x = x * 1103515245u + 12345u;
    const uint64_t date = 127000000000000000ull + (static_cast<uint64_t>(x) << 24);
    char buffer[32];
    velmorix::session::ListRow row;
    row.picture = velmorix::session::kListEnvelope;
    row.nodeId = static_cast<uint32_t>(i + 1) * 32 + 4;
    row.date = date;
    row.cells = {"Sender " + std::to_string(x % 977), "Subject " + std::to_string(x % 100003) + " about things",
                 "Recipient", std::string(velmorix::session::DateText(date, buffer))};
    content.rows.push_back(std::move(row));
  }
  velmorix::ui::ItemList list;
  list.resize(900, 600);
  list.Render(content);
  list.show();
  QApplication::processEvents();
  velmorix::ui::ItemListModel model;
  QStringList titles;
  for (int i = 0; i < list.columnCount(); ++i) titles.append(list.Title(i));
  model.Reset(titles);
  model.Append(content.rows);

  auto cpu = [] {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
  };
  auto time = [&](const char* label, int column, Qt::SortOrder order) {
    QElapsedTimer clock;
    clock.start();
    double cpuStart = cpu();
    model.Sort(column, order, list.IsDateColumn(column));
    const qint64 modelWall = clock.elapsed();
    const double modelCpu = cpu() - cpuStart;
    clock.restart();
    cpuStart = cpu();
    list.SortByColumn(column, order);
    QApplication::processEvents();  // the view lays out and paints the new order
    std::printf("sort %d rows by %s: %lld ms with the view (processor %.0f ms); the model alone %lld ms "
                "(processor %.0f ms)\n",
                count, label, static_cast<long long>(clock.elapsed()), cpu() - cpuStart,
                static_cast<long long>(modelWall), modelCpu);
  };
  time("subject", 1, Qt::AscendingOrder);
  time("subject, reversed", 1, Qt::DescendingOrder);
  time("date", 3, Qt::AscendingOrder);
  time("date, reversed", 3, Qt::DescendingOrder);
  return 0;
}
