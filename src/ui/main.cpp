// velmorix: the desktop window.
//
// Hidden options for screenshots and scripted checks (not part of the
// program's normal use):
//   --recover FILE        start a recovery of FILE as the Next button does
//   --select PATH         when it has finished, select the folder PATH
//                         ("Personal Folders\Inbox\")
//   --screenshot OUT.png  then write a picture of the window and quit
#include <QApplication>
#include <QCommandLineParser>
#include <QLineEdit>
#include <QTimer>
#include <QTreeWidgetItem>

#include <cstdio>

#include "ui/folder_tree.h"
#include "ui/main_window.h"
#include "ui/pictures.h"
#include "ui/presenter.h"
#include "ui/text.h"

namespace {

using velmorix::ui::MainWindow;

// Drives the window through its Next button, then selects a folder and
// takes the screenshot.
void RunScripted(QApplication& app, MainWindow& window, const QString& file,
                 const QString& select, const QString& screenshot) {
  window.pathField()->setText(file);
  window.Start();
  auto* poll = new QTimer(&window);
  poll->setInterval(50);
  QObject::connect(poll, &QTimer::timeout, &window, [&app, &window, poll, select, screenshot] {
    if (window.session().WorkerRunning()) return;
    poll->stop();
    poll->deleteLater();
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
    if (screenshot.isEmpty()) return;
    QTimer::singleShot(300, &window, [&app, &window, screenshot, status] {
      const bool saved = window.grab().save(screenshot, "PNG");
      if (!saved) std::fprintf(stderr, "velmorix: cannot write %s\n", qPrintable(screenshot));
      app.exit(saved ? status : 1);
    });
  });
  poll->start();
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Velmorix"));
  QApplication::setDesktopFileName(QStringLiteral("velmorix"));
  QApplication::setWindowIcon(velmorix::ui::AppIcon());

  QCommandLineParser parser;
  QCommandLineOption recover(QStringLiteral("recover"), QString(), QStringLiteral("FILE"));
  QCommandLineOption select(QStringLiteral("select"), QString(), QStringLiteral("PATH"));
  QCommandLineOption screenshot(QStringLiteral("screenshot"), QString(), QStringLiteral("OUT"));
  for (QCommandLineOption* option : {&recover, &select, &screenshot}) {
    option->setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(*option);
  }
  parser.process(app);

  velmorix::ui::QtPresenter presenter;
  MainWindow window(presenter);
  window.show();

  if (parser.isSet(recover)) {
    const QString file = parser.value(recover);
    const QString folder = parser.value(select);
    const QString out = parser.value(screenshot);
    QTimer::singleShot(0, &window, [&app, &window, file, folder, out] {
      RunScripted(app, window, file, folder, out);
    });
  }
  return app.exec();
}
