// The main window driven through its buttons and keys: start-up state,
// commands, layouts, the worker bridge, Exit during a scan.
#include <QAction>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QToolButton>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "session/session.h"
#include "test_support.h"
#include "ui/folder_tree.h"
#include "ui/item_list.h"
#include "ui/item_window.h"
#include "ui/reader_hub.h"
#include "ui/reading_pane.h"

using namespace velmorix;
using namespace velmorix::ui;
using namespace velmorix::ui::testing;
using session::MessageAnswer;
using session::MessageButtons;
using session::MessageIcon;
using session::SessionState;

namespace {

// Shown within the window (the window itself need not be on screen).
bool Shown(MainWindow& w, int id) { return w.control(id)->isVisibleTo(&w); }
bool Enabled(MainWindow& w, int id) { return w.control(id)->isEnabled(); }
QString Text(MainWindow& w, int id) {
  QWidget* c = w.control(id);
  if (auto* label = qobject_cast<QLabel*>(c)) return label->text();
  if (auto* edit = qobject_cast<QLineEdit*>(c)) return edit->text();
  if (auto* button = qobject_cast<QAbstractButton*>(c)) return button->text();
  return {};
}
void Click(MainWindow& w, int id) { qobject_cast<QAbstractButton*>(w.control(id))->click(); }

void StartWith(MainWindow& w, const QString& path) {
  w.pathField()->setText(path);
  Click(w, session::kNextButton);
}

const std::vector<int> kAllControls = {1057, 1059, 1060, 1044, 1058, 1028, 1046, 1031, 1045,
                                       1009, 1048, 1051, 1052, 1049, 1050, 1047, 1012, 1011};

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    presenter_ = std::make_unique<FakePresenter>();
    window_ = std::make_unique<ObservedWindow>(*presenter_);
  }
  void cleanup() {
    window_.reset();
    presenter_.reset();
  }

  void startupState() {
    MainWindow& w = *window_;
    QCOMPARE(w.windowTitle(), QStringLiteral("Velmorix"));
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    // The first size is the least one; the window may grow.
    QCOMPARE(w.minimumSize(), w.size());
    QVERIFY(w.maximumSize().width() > w.width());
    QVERIFY(!w.windowIcon().isNull());

    for (int id : kAllControls) {
      QWidget* c = w.control(id);
      QVERIFY2(c != nullptr, qPrintable(QString::number(id)));
      QCOMPARE(c->objectName(), QString::number(id));
      QCOMPARE(w.findChild<QWidget*>(QString::number(id)), c);
      QVERIFY(w.rect().contains(QRect(c->mapTo(&w, QPoint(0, 0)), c->size())));
    }
    // Dialog units keep the table's proportions.
    QVERIFY(w.control(1057)->x() < w.control(1059)->x());
    auto inWindow = [&w](int id) {
      QWidget* c = w.control(id);
      return QRect(c->mapTo(&w, QPoint(0, 0)), c->size());
    };
    QVERIFY(inWindow(1045).right() < inWindow(1009).x() + 2);
    QCOMPARE(w.control(1031)->y(), w.control(1012)->y());
    QCOMPARE(w.control(1031)->size(), w.control(1011)->size());

    for (int id : {1057, 1059, 1060, 1044, 1058, 1028, 1046, 1031, 1048, 1051, 1052, 1049, 1050}) {
      QVERIFY2(Shown(w, id), qPrintable(QString::number(id)));
    }
    for (int id : {1045, 1009, 1047, 1012, 1011}) QVERIFY2(!Shown(w, id), qPrintable(QString::number(id)));
    QVERIFY(!Enabled(w, session::kStopButton));
    QVERIFY(Enabled(w, session::kNextButton));

    QCOMPARE(Text(w, 1048), QStringLiteral("File Scanning Status"));
    QCOMPARE(Text(w, 1046), QStringLiteral("Select File..."));
    for (int id : {1049, 1050, 1051, 1052}) QCOMPARE(Text(w, id), QString());
    QCOMPARE(Text(w, 1028), QString());
    QVERIFY(qobject_cast<QLabel*>(w.control(1050))->alignment() & Qt::AlignRight);
    QVERIFY(qobject_cast<QLabel*>(w.control(1052))->alignment() & Qt::AlignRight);
    QCOMPARE(w.control(1044)->toolTip(), QStringLiteral("Buy Software Online"));
    QCOMPARE(w.control(1058)->toolTip(), QStringLiteral("Click here to Know About  the software"));
    for (int id : {1057, 1059, 1060, 1044, 1058, 1031, 1012, 1011}) {
      auto* button = qobject_cast<QToolButton*>(w.control(id));
      QVERIFY(button != nullptr);
      QVERIFY(button->autoRaise());
      QVERIFY(!button->icon().isNull());
    }

    QCOMPARE(w.progressBar()->minimum(), 0);
    QCOMPARE(w.progressBar()->maximum(), 100);
    QVERIFY(!w.progressTimer().isActive());
    QCOMPARE(w.progressTimer().interval(), 100);
    QCOMPARE(w.itemList()->columnSet(), session::ColumnSet::Start);
    QCOMPARE(w.itemList()->columnCount(), 6);
    QCOMPARE(w.session().state(), SessionState::Idle);
    QCOMPARE(w.session().nodesVisited(), 0);
    QCOMPARE(w.helpDirectory(), QDir::currentPath() + QLatin1Char('/'));
    QCOMPARE(w.aboutAction()->text(), QStringLiteral("&About Velmorix..."));
    QVERIFY(presenter_->messages.empty());
  }

  void nextRefusesEmptyOrMissingPath_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    QTest::newRow("empty") << QString() << QStringLiteral("No file is named");
    QTest::newRow("missing") << QStringLiteral("/nonexistent/velmorix/none.ost") << QStringLiteral("There is no file");
    QTest::newRow("folder") << QDir::tempPath() << QStringLiteral("is a folder");
  }
  void nextRefusesEmptyOrMissingPath() {
    QFETCH(QString, path);
    QFETCH(QString, reason);
    MainWindow& w = *window_;
    StartWith(w, path);
    QCOMPARE(presenter_->messages.size(), size_t{1});
    const auto& shown = presenter_->messages.front();
    QCOMPARE(shown.message.text, std::string("Please select a valid file first"));
    QVERIFY2(QString::fromStdString(shown.message.detail).contains(reason), shown.message.detail.c_str());
    QCOMPARE(shown.message.caption, std::string("Velmorix"));
    QCOMPARE(shown.message.icon, MessageIcon::Question);
    QCOMPARE(shown.message.buttons, MessageButtons::Ok);
    QVERIFY(shown.owned);
    QCOMPARE(w.session().state(), SessionState::Idle);
    QVERIFY(!w.session().WorkerRunning());
    QVERIFY(Shown(w, session::kNextButton));
    QVERIFY(!Shown(w, session::kFolderTree));
    QCOMPARE(Text(w, session::kPathField), path);
  }

  // Enter in the path field, a file dropped on the window and the program's
  // argument (StartWith) all start the recovery as Next does.
  void enterOrDropStartsTheRecovery() {
    QTemporaryDir dir;
    const QString mailbox = WriteTestMailbox(dir.path());
    MainWindow& w = *window_;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.pathField()->setText(mailbox);
    QTest::keyClick(w.pathField(), Qt::Key_Return);
    QCOMPARE(w.session().state(), SessionState::Scanning);
    QVERIFY(WaitForWorker(w));
    Click(w, session::kBackButton);

    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(mailbox)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &drop);
    QCOMPARE(w.session().state(), SessionState::Scanning);
    QVERIFY(WaitForWorker(w));
    QCOMPARE(w.session().state(), SessionState::Finished);
    QVERIFY(presenter_->messages.empty());
  }

  // The tree and the list grow with the window; the controls below them
  // stay at the bottom, the buttons at the right.
  void growingTheWindowGrowsTheLists() {
    QTemporaryDir dir;
    const QString mailbox = WriteTestMailbox(dir.path());
    MainWindow& w = *window_;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    StartWith(w, mailbox);
    QVERIFY(WaitForWorker(w));
    QCoreApplication::processEvents();
    const QSize first = w.size();
    const QSize tree = w.folderTree()->size();
    const QSize list = w.itemList()->size();
    const int listAndPane = list.height() + w.readingPane()->height();
    const QPoint back = w.control(session::kBackButton)->pos();
    const QPoint status = w.control(session::kStatusLine)->pos();
    const QPoint open = w.control(session::kOpenButton)->pos();
    w.resize(first + QSize(400, 300));
    QTRY_COMPARE(w.size(), first + QSize(400, 300));
    QCoreApplication::processEvents();
    QCOMPARE(w.itemList()->height() + w.readingPane()->height(), listAndPane + 300);
    QVERIFY(w.itemList()->height() > list.height() + 100);
    QVERIFY(w.itemList()->width() + w.folderTree()->width() >= list.width() + tree.width() + 399);
    QCOMPARE(w.control(session::kBackButton)->pos(), back + QPoint(400, 300));
    QCOMPARE(w.control(session::kStatusLine)->pos(), status + QPoint(0, 300));
    QCOMPARE(w.control(session::kOpenButton)->pos(), open);
    // Never smaller than the first size.
    w.resize(first - QSize(100, 100));
    QTRY_COMPARE(w.size(), first);
    QCoreApplication::processEvents();
    QCOMPARE(w.itemList()->height() + w.readingPane()->height(), listAndPane);
  }

  // Each folder's count follows its name in the tree; a tree item without
  // a list of its own empties the list.
  void treeCountsAndItemsWithoutAList() {
    QTemporaryDir dir;
    const QString mailbox = WriteTestMailbox(dir.path());
    MainWindow& w = *window_;
    StartWith(w, mailbox);
    QVERIFY(WaitForWorker(w));
    FolderTree* tree = w.folderTree();
    QTRY_COMPARE(tree->FindPath("Personal Folders\\Inbox\\")->text(0), QStringLiteral("Inbox (3)"));
    QCOMPARE(tree->FindPath("Personal Folders\\Tasks\\")->text(0), QStringLiteral("Tasks (3)"));
    QCOMPARE(tree->FindPath("Personal Folders\\Sent Items\\")->text(0), QStringLiteral("Sent Items"));
    QCOMPARE(tree->FindPath("Personal Folders\\")->text(0), QStringLiteral("Personal Folders"));

    w.FillItemList(tree->FindPath("Personal Folders\\Inbox\\"));
    QCOMPARE(w.itemList()->rowCount(), 3);
    w.FillItemList(tree->FindPath("Personal Folders\\"));  // holds no items itself
    QCOMPARE(w.itemList()->rowCount(), 0);
    QCOMPARE(w.itemList()->columnSet(), session::ColumnSet::Start);
  }

  // The folder counter counts the folders of this recovery only, also when
  // its folders come from a deep scan after an earlier recovery.
  void folderCountIsPerRecovery() {
    QTemporaryDir dir;
    const QString good = WriteTestMailbox(dir.path());
    QDir(dir.path()).mkdir(QStringLiteral("damaged"));
    const QString damaged = WriteTestMailbox(dir.path() + QStringLiteral("/damaged"));
    {
      QFile f(damaged);
      QVERIFY(f.open(QIODevice::ReadWrite));
      QVERIFY(f.write(QByteArray(564, '\x5A')) == 564);
    }
    MainWindow& w = *window_;
    presenter_->yesNoAnswer = MessageAnswer::Yes;
    StartWith(w, damaged);
    QVERIFY(WaitForWorker(w));
    const QString alone = Text(w, session::kFolderCount);
    QVERIFY(!alone.isEmpty());
    Click(w, session::kBackButton);
    StartWith(w, good);
    QVERIFY(WaitForWorker(w));
    QCOMPARE(Text(w, session::kFolderCount), QStringLiteral("9"));
    Click(w, session::kBackButton);
    StartWith(w, damaged);
    QVERIFY(WaitForWorker(w));
    QCOMPARE(Text(w, session::kFolderCount), alone);
  }

  void openThenCancel() {
    MainWindow& w = *window_;
    w.pathField()->setText(QStringLiteral("left over"));
    Click(w, session::kOpenButton);
    QCOMPARE(presenter_->fileDialogs, 1);
    QCOMPARE(presenter_->fileDialogTitle, QStringLiteral("Select Ost file for recovery..."));
    QCOMPARE(presenter_->fileDialogFilters,
             QStringLiteral("OST and PST Files(*.ost *.pst);;OST File(*.ost);;All Files(*.*)"));
    QCOMPARE(Text(w, session::kPathField), QString());
    QCOMPARE(presenter_->texts(), QStringList{QStringLiteral("Please select a valid file first")});
    QCOMPARE(w.session().state(), SessionState::Idle);
  }

  void selectFileWritesThePath() {
    MainWindow& w = *window_;
    presenter_->fileToChoose = QStringLiteral("/somewhere/chosen.ost");
    Click(w, session::kSelectFileButton);
    QCOMPARE(Text(w, session::kPathField), QStringLiteral("/somewhere/chosen.ost"));
    QVERIFY(presenter_->messages.empty());  // Select File does not start
  }

  void fullRecoveryThroughTheButtons() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString mailbox = WriteTestMailbox(dir.path());
    MainWindow& w = *window_;
    presenter_->fileToChoose = mailbox;
    Click(w, session::kOpenButton);  // Open = Select File, then Start
    QCOMPARE(w.session().state(), SessionState::Scanning);
    // Scanning layout, before the worker's first call is carried out.
    QVERIFY(Shown(w, session::kFolderTree));
    QVERIFY(Shown(w, session::kItemList));
    QVERIFY(!Shown(w, session::kPathField));
    QVERIFY(!Shown(w, session::kSelectFileButton));
    QVERIFY(!Shown(w, session::kNextButton));
    QVERIFY(w.progressTimer().isActive());

    QVERIFY(WaitForWorker(w));
    QVERIFY2(presenter_->messages.empty(), qPrintable(presenter_->texts().join(',')));
    QCOMPARE(w.session().state(), SessionState::Finished);
    // Finished layout.
    QVERIFY(Shown(w, session::kBackButton));
    QVERIFY(Enabled(w, session::kBackButton));
    QVERIFY(!Shown(w, session::kStopButton));
    QVERIFY(!Shown(w, session::kProgressBar));
    QVERIFY(!w.progressTimer().isActive());
    QCOMPARE(Text(w, session::kStatusLine), QString());
    QCOMPARE(Text(w, session::kFolderCountLabel), QStringLiteral("No. of Folders Found"));
    QCOMPARE(Text(w, session::kMailCountLabel), QStringLiteral("No. of Mails Found"));
    QCOMPARE(Text(w, session::kMailCount), QStringLiteral("3"));
    QCOMPARE(Text(w, session::kFolderCount), QStringLiteral("9"));
    QVERIFY(w.folderTree()->FindPath("Personal Folders\\Sent Items\\Archive\\") != nullptr);

    // Open does nothing once a recovery has finished.
    Click(w, session::kOpenButton);
    QCOMPARE(presenter_->fileDialogs, 1);

    // Back: the file-selection layout, and Open works again.
    Click(w, session::kBackButton);
    QCOMPARE(w.session().state(), SessionState::Idle);
    QVERIFY(Shown(w, session::kPathField));
    QVERIFY(Shown(w, session::kSelectFileButton));
    QVERIFY(Shown(w, session::kNextButton));
    for (int id : {1045, 1009, 1047, 1011, 1012, 1048, 1049, 1050, 1051, 1052}) {
      QVERIFY2(!Shown(w, id), qPrintable(QString::number(id)));
    }
    QCOMPARE(Text(w, session::kPathField), mailbox);  // Back keeps the path
    QCOMPARE(w.progressBar()->value(), 0);
    presenter_->fileToChoose.clear();
    Click(w, session::kOpenButton);
    QCOMPARE(presenter_->fileDialogs, 2);
  }

  // Offered once a recovery finished, on an intact file too; it runs the
  // deep scan into the same tree and is offered again after it.
  void searchForDeletedItemsAfterAFinishedRecovery() {
    QREQUIRE_SAMPLE("outlook.pst");
    MainWindow& w = *window_;
    QVERIFY(!Shown(w, session::kDeletedItemsButton));
    StartWith(w, SamplePath("outlook.pst"));
    QVERIFY(WaitForWorker(w));
    QTRY_VERIFY(Shown(w, session::kDeletedItemsButton));
    QCOMPARE(Text(w, session::kDeletedItemsButton), QStringLiteral("Search for Deleted Items"));
    QVERIFY(!w.session().deepScanRan());
    Click(w, session::kDeletedItemsButton);
    QVERIFY(!Shown(w, session::kDeletedItemsButton));
    QVERIFY(WaitForWorker(w));
    QTRY_VERIFY(w.session().deepScanRan());
    QCOMPARE(w.session().state(), SessionState::Finished);
    QVERIFY(w.folderTree()->FindPath("Personal Folders\\Recovered_Group2\\Inbox\\") != nullptr);
    QTRY_VERIFY(Shown(w, session::kDeletedItemsButton));
    Click(w, session::kBackButton);
    QTRY_COMPARE(w.session().state(), SessionState::Idle);
    QVERIFY(!Shown(w, session::kDeletedItemsButton));
  }

  void recoversTheOutlookSample() {
    QREQUIRE_SAMPLE("outlook.pst");
    MainWindow& w = *window_;
    StartWith(w, SamplePath("outlook.pst"));
    QVERIFY(WaitForWorker(w));
    QCOMPARE(w.session().state(), SessionState::Finished);
    QVERIFY(presenter_->messages.empty());
    QVERIFY(w.folderTree()->FindPath("Personal Folders\\Recovered_Group2\\Inbox\\") != nullptr);
    // The folder with a Chinese name arrives as UTF-8 and is shown as such.
    bool found = false;
    QTreeWidgetItem* top = w.folderTree()->topLevelItem(0);
    QVERIFY(top != nullptr);
    for (int i = 0; i < top->childCount(); ++i) {
      found |= top->child(i)->text(0) == QString::fromUtf8("\xE6\x94\xB6\xE4\xBB\xB6\xE7\xAE\xB1");
    }
    QVERIFY(found);
  }

  void stopDuringTheScan() {
    QTemporaryDir dir;
    const QString mailbox = WriteTestMailbox(dir.path());
    ObservedWindow& w = *window_;
    bool stopped = false;
    // On the first folder below the top (worker thread), press Stop on the
    // user-interface thread while the worker waits.
    w.onFolderInserted = [&](const std::string& path) {
      if (stopped || path == "Personal Folders\\") return;
      stopped = true;
      QMetaObject::invokeMethod(&w, [&] { Click(w, session::kStopButton); },
                                Qt::BlockingQueuedConnection);
    };
    StartWith(w, mailbox);
    QVERIFY(WaitForWorker(w));
    QVERIFY(stopped);
    QCOMPARE(presenter_->texts(),
             QStringList{QStringLiteral("Do you really want to stop scanning process ?")});
    QCOMPARE(presenter_->messages.front().message.buttons, MessageButtons::YesNo);
    QCOMPARE(w.session().state(), SessionState::Finished);
    QCOMPARE(w.session().mailCount(), 0);
    // Stopped layout; the worker hid the progress bar when it ended.
    QVERIFY(Shown(w, session::kBackButton));
    QVERIFY(Enabled(w, session::kBackButton));
    QVERIFY(!Shown(w, session::kStopButton));
    // The stopped text comes with the worker's end, queued to this thread.
    QTRY_VERIFY(Shown(w, session::kStatusLine));
    QTRY_COMPARE(Text(w, session::kStatusLine), QStringLiteral("Stopped: the lists show what was found until then"));
    QVERIFY(!Shown(w, session::kProgressBar));
    QCOMPARE(w.progressBar()->value(), 0);
    QVERIFY(!w.progressTimer().isActive());
    QVERIFY(w.folderTree()->topLevelItemCount() == 1);  // what was found stays

    Click(w, session::kBackButton);
    QCOMPARE(w.session().state(), SessionState::Idle);
    QVERIFY(Shown(w, session::kNextButton));
  }

  void stopBeforeAnyNodeKeepsTheState() {
    QTemporaryDir dir;
    const QString mailbox = WriteTestMailbox(dir.path());
    ObservedWindow& w = *window_;
    bool stopped = false;
    // The top item is inserted before the walk has visited a node.
    w.onFolderInserted = [&](const std::string&) {
      if (stopped) return;
      stopped = true;
      QMetaObject::invokeMethod(&w, [&] { Click(w, session::kStopButton); },
                                Qt::BlockingQueuedConnection);
    };
    StartWith(w, mailbox);
    QVERIFY(WaitForWorker(w));
    QCOMPARE(w.session().state(), SessionState::Scanning);
    QVERIFY(Shown(w, session::kBackButton));
    Click(w, session::kBackButton);
    QCOMPARE(w.session().state(), SessionState::Idle);
  }

  void backWhileTheWorkerRunsDiscardsAfterItEnds() {
    QTemporaryDir dir;
    const QString mailbox = WriteTestMailbox(dir.path());
    ObservedWindow& w = *window_;
    bool pressed = false;
    bool stillRunning = false;
    w.onFolderInserted = [&](const std::string& path) {
      if (pressed || path == "Personal Folders\\") return;
      pressed = true;
      QMetaObject::invokeMethod(&w, [&] {
        Click(w, session::kStopButton);
        Click(w, session::kBackButton);  // shown by Stop while the worker is inside its node
        stillRunning = w.session().WorkerRunning();
      }, Qt::BlockingQueuedConnection);
    };
    StartWith(w, mailbox);
    QVERIFY(WaitForWorker(w));
    QVERIFY(stillRunning);
    QTRY_COMPARE(w.session().state(), SessionState::Idle);
    QVERIFY(Shown(w, session::kNextButton));
    QVERIFY(!Shown(w, session::kFolderTree));
    QCOMPARE(w.session().mailCount(), 0);
    QCOMPARE(w.session().nodesVisited(), 0);
  }

  void stopAnsweredNoKeepsScanning() {
    QTemporaryDir dir;
    const QString mailbox = WriteTestMailbox(dir.path());
    ObservedWindow& w = *window_;
    presenter_->yesNoAnswer = MessageAnswer::No;
    bool asked = false;
    w.onFolderInserted = [&](const std::string& path) {
      if (asked || path == "Personal Folders\\") return;
      asked = true;
      QMetaObject::invokeMethod(&w, [&] { Click(w, session::kStopButton); },
                                Qt::BlockingQueuedConnection);
    };
    StartWith(w, mailbox);
    QVERIFY(WaitForWorker(w));
    QCOMPARE(presenter_->messages.size(), size_t{1});
    QCOMPARE(w.session().state(), SessionState::Finished);
    QCOMPARE(Text(w, session::kMailCount), QStringLiteral("3"));
  }

  void failedRecoveryReturnsToFileSelection() {
    QREQUIRE_SAMPLE("not-a-pst-file.txt");
    QREQUIRE_SAMPLE("sample2.pst");
    MainWindow& w = *window_;
    StartWith(w, SamplePath("not-a-pst-file.txt"));
    QVERIFY(WaitForWorker(w));
    QCOMPARE(presenter_->texts(), QStringList{QStringLiteral("Found Condition :003 ")});
    QVERIFY(presenter_->messages.front().owned);
    QCOMPARE(presenter_->messages.front().message.detail,
             std::string("The file's header cannot be read: it is not an offline-folders file, or its first 512 "
                         "bytes are damaged."));
    QCOMPARE(w.session().state(), SessionState::Scanning);
    QVERIFY(Shown(w, session::kPathField));
    QVERIFY(Shown(w, session::kNextButton));
    QVERIFY(!Shown(w, session::kBackButton));
    QVERIFY(!Shown(w, session::kProgressBar));
    QVERIFY(!w.progressTimer().isActive());
    QCOMPARE(Text(w, session::kPathField), QString());

    // Open stays without effect; Next starts another recovery.
    Click(w, session::kOpenButton);
    QCOMPARE(presenter_->fileDialogs, 0);
    StartWith(w, SamplePath("sample2.pst"));
    QVERIFY(WaitForWorker(w));
    QCOMPARE(w.session().state(), SessionState::Finished);
    QCOMPARE(presenter_->messages.size(), size_t{1});
  }

  // An item window steps through the list it was opened from with Ctrl+.
  // and Ctrl+, (Alt+Right and Alt+Left), and closes with Esc or Ctrl+W.
  void itemWindowStepsAndCloses() {
    QTemporaryDir dir;
    const QString mailbox = WriteTestMailbox(dir.path());
    MainWindow& w = *window_;
    StartWith(w, mailbox);
    QVERIFY(WaitForWorker(w));
    w.FillItemList(w.folderTree()->FindPath("Personal Folders\\Inbox\\"));
    ItemList* list = w.itemList();
    auto id = [list](int row) { return list->NodeIdAt(row); };
    auto shown = [&w] {
      QList<uint32_t> out;
      for (ItemWindow* window : w.readers().windows()) {
        if (window->isVisible()) out.append(window->source().nodeId);
      }
      return out;
    };
    w.OpenItem(id(0));
    QCOMPARE(shown(), QList<uint32_t>{id(0)});
    ItemWindow* first = w.readers().windows().front();
    QVERIFY(QTest::qWaitForWindowExposed(first));
    QTest::keySequence(first, QKeySequence(Qt::CTRL | Qt::Key_Period));
    QTRY_COMPARE(shown(), QList<uint32_t>{id(1)});
    QCOMPARE(list->currentRow(), 1);
    ItemWindow* second = w.readers().windows().back();
    QVERIFY(QTest::qWaitForWindowExposed(second));
    QTest::keySequence(second, QKeySequence(Qt::ALT | Qt::Key_Right));
    QTRY_COMPARE(shown(), QList<uint32_t>{id(2)});
    ItemWindow* third = w.readers().windows().back();
    QVERIFY(QTest::qWaitForWindowExposed(third));
    QTest::keySequence(third, QKeySequence(Qt::CTRL | Qt::Key_Period));  // the last row: stays
    QCOMPARE(shown(), QList<uint32_t>{id(2)});
    QTest::keySequence(third, QKeySequence(Qt::CTRL | Qt::Key_Comma));
    QTRY_COMPARE(shown(), QList<uint32_t>{id(1)});
    ItemWindow* back = w.readers().windows().back();
    QVERIFY(QTest::qWaitForWindowExposed(back));
    QTest::keyClick(back, Qt::Key_Escape);
    QTRY_COMPARE(shown(), QList<uint32_t>{});
    w.OpenItem(id(0));
    ItemWindow* again = w.readers().windows().back();
    QVERIFY(QTest::qWaitForWindowExposed(again));
    QTest::keySequence(again, QKeySequence(Qt::CTRL | Qt::Key_W));
    QTRY_COMPARE(shown(), QList<uint32_t>{});
  }

  void unopenableFileShowsUnownedMessage() {
    QTemporaryDir dir;
    const QString mailbox = WriteTestMailbox(dir.path());
    // Another program holds the file locked: it cannot be opened for a recovery.
    const int fd = ::open(QFile::encodeName(mailbox).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    MainWindow& w = *window_;
    StartWith(w, mailbox);
    QVERIFY(WaitForWorker(w));
    ::close(fd);
    QCOMPARE(presenter_->texts(), QStringList{QStringLiteral("Could not open file Try again")});
    QVERIFY(!presenter_->messages.front().owned);
    QCOMPARE(presenter_->messages.front().message.detail, std::string("The file is in use by another program."));
    QVERIFY(Shown(w, session::kNextButton));
    QVERIFY(!w.progressTimer().isActive());
  }

  // The question whether to stop closes by itself when the scan ends while
  // it is open.
  void stopQuestionClosesWhenTheScanEnds() {
    QTemporaryDir dir;
    const QString mailbox = WriteTestMailbox(dir.path());
    ObservedWindow& w = *window_;
    presenter_->yesNoAnswer = MessageAnswer::No;
    std::atomic<bool> open{false};
    bool closed = false;
    presenter_->onMessage = [&](const session::Message&) {
      open = true;
      // The worker's last calls and its end are handled while the question is open.
      closed = QTest::qWaitFor([&] { return presenter_->questionsClosed > 0; }, 20000);
    };
    // Stop is pressed on the first folder below the top; the worker goes on
    // once the question is open.
    w.onFolderInserted = [&](const std::string& path) {
      if (open || path == "Personal Folders\\") return;
      QMetaObject::invokeMethod(&w, [&] { Click(w, session::kStopButton); }, Qt::QueuedConnection);
      (void)QTest::qWaitFor([&] { return open.load(); }, 5000);
    };
    StartWith(w, mailbox);
    QVERIFY(WaitForWorker(w));
    QTRY_VERIFY(closed);
    QCOMPARE(presenter_->texts(), QStringList{QStringLiteral("Do you really want to stop scanning process ?")});
    QCOMPARE(w.session().state(), SessionState::Finished);
    QCOMPARE(Text(w, session::kMailCount), QStringLiteral("3"));
  }

  void escapeAndEnterNeverClose() {
    MainWindow& w = *window_;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.pathField()->setFocus();
    QTest::keyClick(w.pathField(), Qt::Key_Escape);
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
      QTest::keyClick(&w, key);
      QTest::keyClick(w.control(session::kSelectFileButton), key);
    }
    QVERIFY(w.isVisible());
    QVERIFY(presenter_->messages.empty());  // neither Next nor Exit was triggered
    QCOMPARE(presenter_->fileDialogs, 0);   // nor Select File
  }

  void exitAsksAndNoKeepsTheWindow() {
    MainWindow& w = *window_;
    w.show();
    presenter_->yesNoAnswer = MessageAnswer::No;
    QVERIFY(!w.close());
    QVERIFY(w.isVisible());
    QCOMPARE(presenter_->texts(), QStringList{QStringLiteral("Do you really want to exit? ")});
    const auto& m = presenter_->messages.front().message;
    QCOMPARE(m.icon, MessageIcon::Question);
    QCOMPARE(m.buttons, MessageButtons::YesNo);
    QCOMPARE(m.caption, std::string("Velmorix"));

    presenter_->yesNoAnswer = MessageAnswer::Yes;
    QVERIFY(w.close());
    QVERIFY(!w.isVisible());
  }

  void exitDuringTheScan_data() {
    QTest::addColumn<bool>("yes");
    QTest::newRow("no") << false;
    QTest::newRow("yes") << true;
  }
  void exitDuringTheScan() {
    QFETCH(bool, yes);
    QTemporaryDir dir;
    const QString mailbox = WriteTestMailbox(dir.path());
    ObservedWindow& w = *window_;
    w.show();
    presenter_->yesNoAnswer = yes ? MessageAnswer::Yes : MessageAnswer::No;
    bool requested = false;
    bool runningAtExit = false;
    presenter_->onMessage = [&](const session::Message&) {
      runningAtExit = w.session().WorkerRunning();
    };
    // The close request is queued from the worker: it is handled while the
    // worker waits for its next call, i.e. in the middle of the scan.
    w.onFolderInserted = [&](const std::string& path) {
      if (requested || path == "Personal Folders\\") return;
      requested = true;
      QMetaObject::invokeMethod(&w, [&] { w.close(); }, Qt::QueuedConnection);
    };
    StartWith(w, mailbox);
    QVERIFY(WaitForWorker(w));
    QVERIFY(QTest::qWaitFor([&] { return !presenter_->messages.empty(); }, 5000));
    QVERIFY(runningAtExit);
    QCOMPARE(presenter_->texts(), QStringList{QStringLiteral("Do you really want to exit? ")});
    if (yes) {
      QTRY_VERIFY(!w.isVisible());
      QVERIFY(!w.session().WorkerRunning());
      QCOMPARE(w.session().mailCount(), 0);
    } else {
      QVERIFY(w.isVisible());
      QCOMPARE(w.session().state(), SessionState::Finished);
      QCOMPARE(Text(w, session::kMailCount), QStringLiteral("3"));
    }
  }

  // A header garbled beyond reading: the recovery fails, then the window
  // asks whether to run a deep scan; Yes fills the tree from the pages, No
  // leaves the failed run as it was.
  void damagedFileAsksForADeepScan_data() {
    QTest::addColumn<bool>("yes");
    QTest::newRow("no") << false;
    QTest::newRow("yes") << true;
  }
  void damagedFileAsksForADeepScan() {
    QFETCH(bool, yes);
    QTemporaryDir dir;
    const QString mailbox = WriteTestMailbox(dir.path());
    {
      QFile f(mailbox);
      QVERIFY(f.open(QIODevice::ReadWrite));
      QVERIFY(f.write(QByteArray(564, '\x5A')) == 564);
    }
    ObservedWindow& w = *window_;
    w.show();
    presenter_->yesNoAnswer = yes ? MessageAnswer::Yes : MessageAnswer::No;
    StartWith(w, mailbox);
    QVERIFY(WaitForWorker(w));
    QCOMPARE(presenter_->texts(),
             (QStringList{QStringLiteral("Found Condition :003 "),
                          QStringLiteral("The file is damaged. Run a deep scan to find more items?")}));
    const session::Message& ask = presenter_->messages.back().message;
    QCOMPARE(ask.icon, MessageIcon::Question);
    QCOMPARE(ask.buttons, MessageButtons::YesNo);
    QVERIFY(presenter_->messages.back().owned);
    QCOMPARE(w.session().deepScanRan(), yes);
    if (yes) {
      QCOMPARE(w.session().state(), SessionState::Finished);
      QVERIFY(Shown(w, session::kFolderTree));
      QVERIFY(Shown(w, session::kBackButton));
      QVERIFY(!Shown(w, session::kStopButton));
      QVERIFY(w.folderTree()->FindPath("Personal Folders\\Inbox\\") != nullptr);
      QCOMPARE(Text(w, session::kMailCount), QStringLiteral("3"));
    } else {
      QVERIFY(Shown(w, session::kPathField));
      QVERIFY(!Shown(w, session::kFolderTree));
    }
  }

  void closingTheWindowObjectEndsARunningWorker() {
    QTemporaryDir dir;
    const QString mailbox = WriteTestMailbox(dir.path());
    StartWith(*window_, mailbox);
    QVERIFY(window_->session().WorkerRunning());
    window_.reset();  // must neither hang nor crash while the worker waits on it
  }

  void helpLooksInTheStartupDirectory() {
    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    FakePresenter presenter;
    MainWindow w(presenter);
    QVERIFY(QDir::setCurrent(previous));

    Click(w, session::kHelpButton);
    QCOMPARE(presenter.texts(), QStringList{QStringLiteral("Velmorix Help File Not Found")});
    QCOMPARE(presenter.messages.front().message.icon, MessageIcon::Information);
    QCOMPARE(presenter.messages.front().message.buttons, MessageButtons::Ok);

    QFile help(QDir(dir.path()).filePath(QStringLiteral("DER-IZO.chm")));
    QVERIFY(help.open(QIODevice::WriteOnly));
    help.close();
    // F1 anywhere in the window runs Help.
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(w.pathField(), Qt::Key_F1);
    QCOMPARE(presenter.messages.size(), size_t{1});
    QCOMPARE(presenter.urls, QList<QUrl>{QUrl::fromLocalFile(help.fileName())});
  }

  // Help and F1 open the user guide shipped with the program.
  void helpOpensTheGuide() {
    QTemporaryDir dir;
    const QString guide = QDir(dir.path()).filePath(QStringLiteral("index.html"));
    QFile file(guide);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    MainWindow& w = *window_;
    w.SetGuidePath(guide);
    Click(w, session::kHelpButton);
    QCOMPARE(presenter_->urls, QList<QUrl>{QUrl::fromLocalFile(guide)});
    QVERIFY(presenter_->messages.empty());
  }

  void aboutAndProductPage() {
    MainWindow& w = *window_;
    Click(w, session::kAboutButton);
    w.aboutAction()->trigger();
    QCOMPARE(presenter_->aboutShown, 2);
    Click(w, session::kBuyButton);
    Click(w, session::kLogoButton);
    const QUrl page(QStringLiteral("https://velmorix.example/"));
    QCOMPARE(presenter_->urls, (QList<QUrl>{page, page}));
    QVERIFY(AboutText().startsWith(QStringLiteral("Velmorix ")));
  }

  void progressTicksByTenAndWraps() {
    MainWindow& w = *window_;
    w.SetProgressRange(0, 100);
    w.SetProgressPosition(0);
    for (int i = 1; i <= 10; ++i) {
      w.ProgressTick();
      QCOMPARE(w.progressBar()->value(), i * 10);
    }
    w.ProgressTick();
    QCOMPARE(w.progressBar()->value(), 0);
    w.StartProgressTimer();
    QVERIFY(w.progressTimer().isActive());
    w.StopProgressTimer();
    QVERIFY(!w.progressTimer().isActive());
  }

  void viewCallsFromAnotherThreadAreSynchronous() {
    MainWindow& w = *window_;
    presenter_->yesNoAnswer = MessageAnswer::No;
    bool onUiThread = false;
    QString statusAtMessage;
    int positionAtMessage = -1;
    presenter_->onMessage = [&](const session::Message&) {
      onUiThread = QThread::currentThread() == w.thread();
      statusAtMessage = Text(w, session::kStatusLine);
      positionAtMessage = w.progressBar()->value();
    };
    std::atomic<bool> done{false};
    MessageAnswer answer = MessageAnswer::Ok;
    std::thread worker([&] {
      w.ShowControl(session::kProgressBar, true);
      // Texts and positions may be applied later, but before any later call.
      w.SetControlText(session::kStatusLine, "first");
      w.SetProgressPosition(17);
      w.SetControlText(session::kStatusLine, "Loading Extended Attributes");
      w.SetProgressPosition(42);
      session::Message question;
      question.text = "Question from the worker";
      question.buttons = MessageButtons::YesNo;
      answer = w.ShowMessage(question);  // returns the answer given on the UI thread
      done = true;
    });
    QVERIFY(QTest::qWaitFor([&] { return done.load(); }, 5000));
    worker.join();
    QVERIFY(onUiThread);
    QCOMPARE(answer, MessageAnswer::No);
    QCOMPARE(statusAtMessage, QStringLiteral("Loading Extended Attributes"));
    QCOMPARE(positionAtMessage, 42);
    QVERIFY(Shown(w, session::kProgressBar));
  }

 private:
  std::unique_ptr<FakePresenter> presenter_;
  std::unique_ptr<ObservedWindow> window_;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
