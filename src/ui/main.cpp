// velmorix: the desktop window.
//
// Hidden options for screenshots and scripted checks (not part of the
// program's normal use):
//   --recover FILE        start a recovery of FILE as the Next button does
//   --select PATH         when it has finished, select the folder PATH
//                         ("Personal Folders\Inbox\")
//   --open-row N          then open row N (from 0) of the item list in an item
//                         window; the screenshot is of that window, once read
//   --tab NAME            in that item window, show the tab whose title
//                         starts with NAME ("Attachments", "Properties")
//   --screenshot OUT.png  then write a picture of the window and quit
//   --size WxH            the window's size (it starts at its least)
//   --row N               after the selection, make row N of the list current
//                         (the reading pane shows it)
//   --search TEXT         then search for TEXT; --all-folders in all folders,
//                         --message-text also in bodies and attachment names
//   --timing              print the scan's time and the longest gap between
//                         two ticks of a 10 ms timer on the window, and quit
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QCommandLineParser>
#include <QCheckBox>
#include <QLineEdit>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidgetItem>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string_view>
#include <cstdlib>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "ui/folder_tree.h"
#include "ui/item_list.h"
#include "ui/item_window.h"
#include "ui/main_window.h"
#include "ui/pictures.h"
#include "ui/presenter.h"
#include "ui/reader_hub.h"
#include "ui/search_bar.h"
#include "ui/text.h"

namespace {

using velmorix::ui::MainWindow;

// Drives the window through its Next button, then selects a folder and
// takes the screenshot, or reports the timing.
struct ScriptedRun {
  QElapsedTimer clock;
  qint64 lastTick = 0;
  qint64 longestGap = 0;  // responsiveness: longest time without a 10 ms tick
  QTimer ticker;
  QTimer poll;
  // Runs once the folder is selected, before the screenshot is taken.
  std::function<void()> prepare;
};

// Opens row `row` of the item list and writes a picture of its item window
// once the item has been read.
void ShootItemWindow(QApplication& app, MainWindow& window, int row, const QString& tab, const QString& screenshot) {
  velmorix::ui::ItemList* list = window.itemList();
  const uint32_t id = row >= 0 && row < list->rowCount() ? list->NodeIdAt(row) : 0;
  velmorix::ui::ItemWindow* shown = id ? window.readers().OpenItem(id) : nullptr;
  if (shown == nullptr) {
    std::fprintf(stderr, "velmorix: no item in row %d\n", row);
    app.exit(1);
    return;
  }
  auto shoot = [&app, shown, tab, screenshot] {
    for (int i = 0; i < shown->tabs()->count(); ++i) {
      if (!tab.isEmpty() && shown->tabs()->tabText(i).startsWith(tab)) shown->tabs()->setCurrentIndex(i);
    }
    QTimer::singleShot(300, shown, [&app, shown, screenshot] {
      const bool saved = shown->grab().save(screenshot, "PNG");
      if (!saved) std::fprintf(stderr, "velmorix: cannot write %s\n", qPrintable(screenshot));
      app.exit(saved ? 0 : 1);
    });
  };
  if (shown->loaded()) {
    shoot();
  } else {
    QObject::connect(shown, &velmorix::ui::ItemWindow::itemLoaded, shown, shoot);
  }
}

void RunScripted(QApplication& app, MainWindow& window, ScriptedRun* run, const QString& file,
                 const QString& select, const QString& screenshot, bool timing, int openRow, const QString& tab) {
  run->clock.start();
  run->ticker.setInterval(10);
  QObject::connect(&run->ticker, &QTimer::timeout, &window, [raw = run] {
    const qint64 now = raw->clock.elapsed();
    raw->longestGap = std::max(raw->longestGap, now - raw->lastTick);
    raw->lastTick = now;
  });
  if (timing) run->ticker.start();

  window.pathField()->setText(file);
  window.Start();
  run->poll.setInterval(50);
  QObject::connect(&run->poll, &QTimer::timeout, &window,
                   [&app, &window, run, select, screenshot, timing, openRow, tab] {
    if (window.session().WorkerRunning()) return;
    run->poll.stop();
    run->ticker.stop();
    if (timing) {
      std::printf("scan_ms=%lld longest_tick_gap_ms=%lld mails=%d\n",
                  static_cast<long long>(run->clock.elapsed()),
                  static_cast<long long>(run->longestGap), window.session().mailCount());
      std::fflush(stdout);
      app.exit(0);
      return;
    }
    int status = 0;
    if (!select.isEmpty()) {
      QTreeWidgetItem* item = window.folderTree()->FindPath(select.toStdString());
      if (item == nullptr) {
        std::fprintf(stderr, "velmorix: no folder %s\n", qPrintable(select));
        status = 1;
      } else {
        window.folderTree()->setCurrentItem(item);
        window.folderTree()->scrollToItem(item);
      }
    }
    if (run->prepare) run->prepare();
    if (screenshot.isEmpty()) return;
    if (openRow >= 0 && status == 0) {
      ShootItemWindow(app, window, openRow, tab, screenshot);
      return;
    }
    QTimer::singleShot(300, &window, [&app, &window, screenshot, status] {
      const bool saved = window.grab().save(screenshot, "PNG");
      if (!saved) std::fprintf(stderr, "velmorix: cannot write %s\n", qPrintable(screenshot));
      app.exit(saved ? status : 1);
    });
  });
  run->poll.start();
}

// --help and --version answer before the window needs a display.
bool AnsweredWithoutWindow(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--version") {
      std::printf("velmorix %s\n", VELMORIX_VERSION);
      return true;
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(
          "usage: velmorix [--help | --version] [FILE]\n\n"
          "Opens the Velmorix window: pick an offline-folders file (.ost) or a\n"
          "personal-folders file (.pst), press Next to recover it, then browse its\n"
          "folders and items. The file is only read. With FILE (or a file dropped\n"
          "on the window) its recovery starts at once.\n\n"
          "  --help     print this help and exit\n"
          "  --version  print the version and exit\n\n"
          "Qt's own options (-platform, -style, ...) are taken too. The command line\n"
          "front end is velmorix-cli (velmorix-cli --help).\n",
          stdout);
      return true;
    }
  }
  return false;
}

// A recovery keeps hundreds of megabytes of small records. Where transparent
// huge pages are given on request only, glibc's allocator asks for them only
// when its tunable is set at start-up (a 100,000-mail scan: 1.6 s against
// 1.3 s). So the program starts itself once more with the tunable set,
// unless the caller has set tunables of its own; velmorix-cli does the same.
void UseHugePagesForTheHeap(char** argv) {
  if (std::getenv("GLIBC_TUNABLES") != nullptr) return;
  if (::setenv("GLIBC_TUNABLES", "glibc.malloc.hugetlb=1", 0) != 0) return;
  ::execv("/proc/self/exe", argv);
  ::unsetenv("GLIBC_TUNABLES");  // exec failed: go on as we are
}

}  // namespace

int main(int argc, char* argv[]) {
  if (AnsweredWithoutWindow(argc, argv)) return 0;
  UseHugePagesForTheHeap(argv);
#ifdef __GLIBC__
  // A recovery's worker threads would otherwise grow their allocator arenas
  // a page per system call; untouched padding costs no memory.
  mallopt(M_TOP_PAD, 64 << 20);
#endif
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Velmorix"));
  QApplication::setDesktopFileName(QStringLiteral("velmorix"));
  QApplication::setWindowIcon(velmorix::ui::AppIcon());

  QCommandLineParser parser;
  QCommandLineOption recover(QStringLiteral("recover"), QString(), QStringLiteral("FILE"));
  QCommandLineOption select(QStringLiteral("select"), QString(), QStringLiteral("PATH"));
  QCommandLineOption screenshot(QStringLiteral("screenshot"), QString(), QStringLiteral("OUT"));
  QCommandLineOption timing(QStringLiteral("timing"), QString());
  QCommandLineOption openRow(QStringLiteral("open-row"), QString(), QStringLiteral("N"));
  QCommandLineOption tab(QStringLiteral("tab"), QString(), QStringLiteral("NAME"));
  QCommandLineOption size(QStringLiteral("size"), QString(), QStringLiteral("WxH"));
  QCommandLineOption currentRow(QStringLiteral("row"), QString(), QStringLiteral("N"));
  QCommandLineOption searchText(QStringLiteral("search"), QString(), QStringLiteral("TEXT"));
  QCommandLineOption allFolders(QStringLiteral("all-folders"), QString());
  QCommandLineOption messageText(QStringLiteral("message-text"), QString());
  for (QCommandLineOption* option : {&recover, &select, &screenshot, &timing, &openRow, &tab, &size, &currentRow,
                                     &searchText, &allFolders, &messageText}) {
    option->setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(*option);
  }
  parser.addPositionalArgument(QStringLiteral("FILE"), QString(), QStringLiteral("[FILE]"));
  parser.process(app);

  velmorix::ui::QtPresenter presenter;
  MainWindow window(presenter);
#ifdef VELMORIX_SOURCE_GUIDE
  if (!QFileInfo(window.guidePath()).isFile() && QFileInfo(QStringLiteral(VELMORIX_SOURCE_GUIDE)).isFile()) {
    window.SetGuidePath(QStringLiteral(VELMORIX_SOURCE_GUIDE));
  }
#endif
  if (parser.isSet(size)) {
    const QStringList wh = parser.value(size).split(QLatin1Char('x'));
    if (wh.size() == 2) window.resize(wh[0].toInt(), wh[1].toInt());
  }
  window.show();
  ScriptedRun scripted;  // destroyed before the window
  if (parser.isSet(currentRow) || parser.isSet(searchText)) {
    const int row = parser.value(currentRow).toInt();
    const bool rowSet = parser.isSet(currentRow);
    const QString text = parser.value(searchText);
    const bool all = parser.isSet(allFolders), inText = parser.isSet(messageText);
    scripted.prepare = [&window, row, rowSet, text, all, inText] {
      if (rowSet) {
        window.itemList()->SetCurrentRow(row);
      }
      if (text.isEmpty()) return;
      velmorix::ui::SearchBar* bar = window.searchBar();
      if (all) bar->SetScope(velmorix::ui::SearchBar::Scope::AllFolders);
      bar->messageText()->setChecked(inText);
      bar->field()->setText(text);
      window.RunSearch();
    };
  }

  if (parser.isSet(recover)) {
    const QString file = parser.value(recover);
    const QString folder = parser.value(select);
    const QString out = parser.value(screenshot);
    const bool measure = parser.isSet(timing);
    const int row = parser.isSet(openRow) ? parser.value(openRow).toInt() : -1;
    const QString tabName = parser.value(tab);
    QTimer::singleShot(0, &window, [&app, &window, &scripted, file, folder, out, measure, row, tabName] {
      RunScripted(app, window, &scripted, file, folder, out, measure, row, tabName);
    });
  } else if (!parser.positionalArguments().isEmpty()) {
    const QString file = parser.positionalArguments().front();
    QTimer::singleShot(0, &window, [&window, file] { window.StartWith(file); });
  }
  return app.exec();
}
