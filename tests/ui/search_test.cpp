// The window's search bar and reading pane after a recovery of the test
// mailbox: filtering as one types, the scope of all folders with its Folder
// column, message text read in the background, the date range, and the
// pane following the list's selection.
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "test_support.h"
#include "ui/folder_tree.h"
#include "ui/item_list.h"
#include "ui/item_window.h"
#include "ui/reader_hub.h"
#include "ui/reading_pane.h"
#include "ui/search_bar.h"

using namespace velmorix;
using namespace velmorix::ui;
using namespace velmorix::ui::testing;

namespace {

// The subjects (column 1) of the rows shown, top to bottom.
QStringList Shown(ItemList* list) {
  QStringList out;
  for (int i = 0; i < list->rowCount(); ++i) {
    if (list->IsRowShown(i)) out.append(list->Text(i, 1));
  }
  return out;
}

}  // namespace

class SearchTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    mailbox_ = WriteTestMailbox(dir_.path());
  }
  void init() {
    window_ = std::make_unique<MainWindow>(presenter_);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    window_->pathField()->setText(mailbox_);
    window_->Start();
    QVERIFY(WaitForWorker(*window_));
    FolderTree* tree = window_->folderTree();
    tree->setCurrentItem(tree->FindPath("Personal Folders\\Inbox\\"));
    QCOMPARE(window_->itemList()->rowCount(), 3);
  }
  void cleanup() { window_.reset(); }

  void typingFiltersTheFolderAndEscClears() {
    MainWindow& w = *window_;
    QTest::keyClick(&w, Qt::Key_F, Qt::ControlModifier);
    QLineEdit* field = w.searchBar()->field();
    QTRY_VERIFY(field->hasFocus());
    QTest::keyClicks(field, "KICK");
    QTRY_COMPARE(Shown(w.itemList()), QStringList{"Kickoff"});
    QCOMPARE(w.searchBar()->count()->text(), QStringLiteral("1 of 3 shown"));
    // Any column: the recipient "Nobody".
    field->setText(QStringLiteral("nobody"));
    QTRY_COMPARE(Shown(w.itemList()), QStringList{"Unspecified"});
    QTest::keyClick(field, Qt::Key_Escape);
    QCOMPARE(field->text(), QString());
    QVERIFY(w.isVisible());
    QTRY_COMPARE(Shown(w.itemList()).size(), 3);
  }

  void allFoldersListsMatchesWithTheirFolder() {
    MainWindow& w = *window_;
    w.searchBar()->SetScope(SearchBar::Scope::AllFolders);
    w.searchBar()->field()->setText(QStringLiteral("example"));
    ItemList* list = w.itemList();
    QTRY_VERIFY(list->columnCount() == 5);
    QCOMPARE(list->Title(4), QStringLiteral("Folder"));
    QStringList found;
    for (int i = 0; i < list->rowCount(); ++i) {
      found.append(list->Text(i, 1) + QLatin1Char('|') + list->Text(i, 4));
    }
    QCOMPARE(found, (QStringList{"Kickoff|Personal Folders\\Inbox", "Example, Alice|Personal Folders\\Contacts",
                                 "Example, Bob|Personal Folders\\Contacts"}));
    QCOMPARE(w.searchBar()->count()->text(), QStringLiteral("3 found"));
    // A result opens as a row does.
    list->SetCurrentRow(0);
    QTest::keyClick(list, Qt::Key_Return);
    QTRY_COMPARE(w.readers().windows().size(), 1);
    QCOMPARE(w.readers().windows().front()->source().nodeId, list->NodeIdAt(0));
    // A folder clicked in the tree is shown again, filtered.
    FolderTree* tree = w.folderTree();
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {},
                      tree->visualItemRect(tree->FindPath("Personal Folders\\Inbox\\")).center());
    QCOMPARE(w.searchBar()->scope(), SearchBar::Scope::ThisFolder);
    QCOMPARE(list->columnCount(), 4);
    QCOMPARE(Shown(list), QStringList{"Kickoff"});
  }

  void messageTextIsReadInTheBackground() {
    MainWindow& w = *window_;
    w.searchBar()->field()->setText(QStringLiteral("TXT"));  // only an attachment's name holds it
    QTRY_COMPARE(Shown(w.itemList()), QStringList());
    w.searchBar()->messageText()->setChecked(true);
    QTRY_COMPARE(Shown(w.itemList()), QStringList{"Figures"});
    QTRY_VERIFY(!w.contentSearchRunning());
    QCOMPARE(w.searchBar()->count()->text(), QStringLiteral("1 of 3 shown"));
    QVERIFY(w.searchBar()->stopButton()->isHidden());
    // In all folders the match is added to the results.
    w.searchBar()->SetScope(SearchBar::Scope::AllFolders);
    QTRY_COMPARE(w.itemList()->rowCount(), 1);
    QCOMPARE(w.itemList()->Text(0, 4), QStringLiteral("Personal Folders\\Inbox"));
  }

  void datesBoundTheRows() {
    MainWindow& w = *window_;
    w.searchBar()->from()->setDate(QDate(2006, 7, 1));
    w.searchBar()->to()->setDate(QDate(2006, 7, 1));
    w.searchBar()->dates()->setChecked(true);
    QTRY_COMPARE(Shown(w.itemList()), QStringList{"Kickoff"});
    w.searchBar()->to()->setDate(QDate(2006, 6, 30));
    QTRY_COMPARE(Shown(w.itemList()), QStringList());
  }

  void readingPaneFollowsTheSelection() {
    MainWindow& w = *window_;
    ReadingPane* pane = w.readingPane();
    QVERIFY(w.searchBar()->readingPane()->isChecked());
    QVERIFY(pane->isVisible());
    ItemList* list = w.itemList();
    list->setFocus();
    list->SetCurrentRow(0);
    const uint32_t first = list->NodeIdAt(0);
    QTRY_COMPARE(pane->nodeId(), first);
    QTRY_VERIFY(pane->view() != nullptr && pane->view()->loaded());
    QCOMPARE(pane->view()->fieldText(QStringLiteral("Subject")), QStringLiteral("Kickoff"));
    QTest::keyClick(list, Qt::Key_Down);
    QTRY_COMPARE(pane->nodeId(), list->NodeIdAt(1));
    QTRY_VERIFY(pane->view() != nullptr && pane->view()->loaded());
    QCOMPARE(pane->view()->fieldText(QStringLiteral("Subject")), QStringLiteral("Figures"));
    QVERIFY(w.readers().windows().isEmpty());  // no separate window
    // Esc in the pane does not close what it shows.
    QTest::keyClick(pane->view(), Qt::Key_Escape);
    QVERIFY(pane->view()->isVisible());
    w.searchBar()->readingPane()->setChecked(false);
    QVERIFY(pane->isHidden());
  }

 private:
  QTemporaryDir dir_;
  QString mailbox_;
  FakePresenter presenter_;
  std::unique_ptr<MainWindow> window_;
};

QTEST_MAIN(SearchTest)
#include "search_test.moc"
