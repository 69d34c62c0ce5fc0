// The item list after a recovery of a builder mailbox: column sets, rows,
// pictures and order for each special folder and for mail folders.
#include <QHeaderView>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "session/folder_list.h"
#include "test_support.h"
#include "ui/folder_tree.h"
#include "ui/item_list.h"

using namespace velmorix;
using namespace velmorix::ui;
using namespace velmorix::ui::testing;
using session::ColumnSet;

namespace {

struct Col {
  QString title;
  int width;
};

QList<Col> Columns(ItemList* list) {
  QList<Col> out;
  for (int i = 0; i < list->columnCount(); ++i) {
    out.append({list->Title(i), list->columnWidth(i)});
  }
  return out;
}

QStringList Row(ItemList* list, int row) {
  QStringList out;
  for (int i = 0; i < list->columnCount(); ++i) out.append(list->Text(row, i));
  return out;
}

int Picture(ItemList* list, int row) {
  return list->PictureAt(row);
}

void ExpectColumns(ItemList* list, const QStringList& titles, int width) {
  const QList<Col> columns = Columns(list);
  QCOMPARE(columns.size(), titles.size());
  for (int i = 0; i < titles.size(); ++i) {
    QCOMPARE(columns[i].title, titles[i]);
    QCOMPARE(columns[i].width, width);
  }
}

}  // namespace

class ItemListTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    mailbox_ = WriteTestMailbox(dir_.path());
    window_ = std::make_unique<MainWindow>(presenter_);
    window_->pathField()->setText(mailbox_);
    qobject_cast<QToolButton*>(window_->control(session::kNextButton))->click();
    QVERIFY(WaitForWorker(*window_));
    QCOMPARE(window_->session().state(), session::SessionState::Finished);
    QVERIFY(presenter_.messages.empty());
  }
  void cleanupTestCase() { window_.reset(); }

  void startColumnSet() {
    ItemList list;
    const QList<Col> columns = Columns(&list);
    QCOMPARE(columns.size(), 6);
    const QStringList titles{"From", "Subject", "To", "Date", "", ""};
    const QList<int> widths{170, 170, 170, 170, 0, 0};
    for (int i = 0; i < 6; ++i) {
      QCOMPARE(columns[i].title, titles[i]);
      QCOMPARE(columns[i].width, widths[i]);
    }
    QVERIFY(!list.rootIsDecorated());
    QVERIFY(list.header()->sectionsClickable());  // a click sorts
    QCOMPARE(list.selectionMode(), QAbstractItemView::ExtendedSelection);
    QCOMPARE(list.selectionBehavior(), QAbstractItemView::SelectRows);
  }

  void renderShowsRowsInOrderAndKeepsUnchangedContent() {
    ItemList list;
    session::ListContent content;
    content.changes = true;
    content.columnSet = ColumnSet::Tasks;
    content.rows.push_back({session::kListTasks, {"B", ""}});
    content.rows.push_back({session::kListTasks, {"A", "Sat Jul 01 12:00:00 2006"}});
    content.rows.push_back({session::kListTasks, {"Line one\r\nline two\nthree", ""}});
    list.Render(content);
    QCOMPARE(list.columnSet(), ColumnSet::Tasks);
    ExpectColumns(&list, {"Subject", "Date"}, 260);
    QCOMPARE(list.rowCount(), 3);
    QCOMPARE(Row(&list, 0), (QStringList{"B", ""}));
    QCOMPARE(Row(&list, 1), (QStringList{"A", "Sat Jul 01 12:00:00 2006"}));
    QCOMPARE(Row(&list, 2)[0], QStringLiteral("Line one line two three"));  // one line per row
    QVERIFY(!list.IndexAt(0).data(Qt::DecorationRole).value<QIcon>().isNull());

    session::ListContent unchanged;  // changes == false
    list.Render(unchanged);
    QCOMPARE(list.columnSet(), ColumnSet::Tasks);
    QCOMPARE(list.rowCount(), 3);

    list.SetColumnSet(ColumnSet::Notes);
    QCOMPARE(list.rowCount(), 0);
    ExpectColumns(&list, {"Subject", "Body", "Date"}, 170);
  }

  void mailFolderRows() {
    ItemList* list = Select("Personal Folders\\Inbox\\");
    QCOMPARE(list->columnSet(), ColumnSet::Mail);
    ExpectColumns(list, {"From", "Subject", "To", "Date"}, 170);
    QCOMPARE(list->rowCount(), 3);
    const QStringList first = Row(list, 0);
    QCOMPARE(first.mid(0, 3), (QStringList{"Alice Example", "Kickoff", "Bob Example"}));
    QVERIFY(first[3].startsWith(QStringLiteral("Sat Jul 01 1")));
    QVERIFY(first[3].endsWith(QStringLiteral(":00:00 2006")));
    QCOMPARE(Picture(list, 0), int(session::kListEnvelope));
    QCOMPARE(Row(list, 1).mid(0, 3), (QStringList{"Carol Finance", "Figures", "Team"}));
    QCOMPARE(Picture(list, 1), int(session::kListEnvelopeClip));
    QCOMPARE(Row(list, 2).mid(0, 3), (QStringList{"None", "Unspecified", "Nobody"}));
    QCOMPARE(Picture(list, 2), int(session::kListEnvelope));
  }

  void selectingAMailFolderTogglesItsExpansion() {
    FolderTree* tree = window_->folderTree();
    QTreeWidgetItem* sent = tree->FindPath("Personal Folders\\Sent Items\\");
    QVERIFY(sent != nullptr);
    tree->setCurrentItem(tree->FindPath("Personal Folders\\Inbox\\"));
    const bool before = sent->isExpanded();
    tree->setCurrentItem(sent);
    QCOMPARE(sent->isExpanded(), !before);
    window_->FillItemList(sent);
    QCOMPARE(sent->isExpanded(), before);
    QCOMPARE(window_->itemList()->columnSet(), ColumnSet::Mail);
    QCOMPARE(window_->itemList()->rowCount(), 0);
  }

  void clicksOnAMailFolderToggleItsExpansion() {
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    FolderTree* tree = window_->folderTree();
    tree->popupMenu = [](const std::vector<session::MenuEntry>&, const QPoint&) {
      return int(session::kMenuNone);
    };
    QTreeWidgetItem* inbox = tree->FindPath("Personal Folders\\Inbox\\");
    QTreeWidgetItem* sent = tree->FindPath("Personal Folders\\Sent Items\\");
    tree->setCurrentItem(inbox);
    auto click = [&](QTreeWidgetItem* item, Qt::MouseButton button) {
      QTest::mouseClick(tree->viewport(), button, {}, tree->visualItemRect(item).center());
    };
    // Not yet selected: filled twice (selection change and click), no change.
    bool before = sent->isExpanded();
    click(sent, Qt::LeftButton);
    QCOMPARE(tree->currentItem(), sent);
    QCOMPARE(sent->isExpanded(), before);
    // Already selected: toggled once.
    click(sent, Qt::LeftButton);
    QCOMPARE(sent->isExpanded(), !before);
    // Right click on a folder not yet selected: one selection change.
    click(inbox, Qt::LeftButton);
    before = sent->isExpanded();
    click(sent, Qt::RightButton);
    QCOMPARE(tree->currentItem(), sent);
    QCOMPARE(sent->isExpanded(), !before);
    window_->hide();
  }

  // The top item holds no mails of its own: the list is emptied rather
  // than left showing the last folder's rows under it.
  void topItemWithoutItemsEmptiesTheList() {
    ItemList* list = Select("Personal Folders\\Inbox\\");
    QCOMPARE(list->rowCount(), 3);
    Select("Personal Folders\\");
    QCOMPARE(list->columnSet(), ColumnSet::Start);
    QCOMPARE(list->rowCount(), 0);
  }

  void contacts() {
    ItemList* list = Select("Personal Folders\\Contacts\\");
    QCOMPARE(list->columnSet(), ColumnSet::Contacts);
    ExpectColumns(list, {"Name", "Postal Address", "Mobile Phone"}, 170);
    QCOMPARE(list->rowCount(), 2);
    QCOMPARE(Row(list, 0), (QStringList{"Example, Alice", "1 Main Street", "+1 555 0100"}));
    QCOMPARE(Row(list, 1), (QStringList{"Example, Bob", "None", "None"}));
    QCOMPARE(Picture(list, 0), int(session::kListContact));
  }

  void tasksAppearInReverseOrder() {
    ItemList* list = Select("Personal Folders\\Tasks\\");
    QCOMPARE(list->columnSet(), ColumnSet::Tasks);
    ExpectColumns(list, {"Subject", "Date"}, 260);
    QCOMPARE(list->rowCount(), 3);
    QCOMPARE(list->Text(0, 0), QStringLiteral("Task 3"));
    QCOMPARE(list->Text(1, 0), QStringLiteral("Task 2"));
    QCOMPARE(list->Text(2, 0), QStringLiteral("Task 1"));
    QCOMPARE(Picture(list, 0), int(session::kListTasks));
  }

  void journalNotesAndCalendar() {
    ItemList* list = Select("Personal Folders\\Journal\\");
    QCOMPARE(list->columnSet(), ColumnSet::Journal);
    ExpectColumns(list, {"Subject", "Entry Type", "Date"}, 170);
    QCOMPARE(list->rowCount(), 1);
    QCOMPARE(Row(list, 0).mid(0, 2), (QStringList{"Called Alice", "Phone call"}));
    QCOMPARE(Picture(list, 0), int(session::kListJournal));

    list = Select("Personal Folders\\Notes\\");
    QCOMPARE(list->columnSet(), ColumnSet::Notes);
    ExpectColumns(list, {"Subject", "Body", "Date"}, 170);
    QCOMPARE(list->rowCount(), 1);
    QCOMPARE(Row(list, 0).mid(0, 2), (QStringList{"Shopping", "Milk, bread"}));
    QCOMPARE(Picture(list, 0), int(session::kListNotes));

    list = Select("Personal Folders\\Calendar\\");
    QCOMPARE(list->columnSet(), ColumnSet::Calendar);
    ExpectColumns(list, {"Subject", "Location", "Date"}, 170);
    QCOMPARE(list->rowCount(), 1);
    QCOMPARE(Row(list, 0).mid(0, 2), (QStringList{"Review", "Room 4"}));
    QCOMPARE(Picture(list, 0), int(session::kListCalendar));
  }

  // A header click sorts by that column, a second one the other way round;
  // dates by their time, not their text; equal keys keep the order given.
  void headerClicksSortRows() {
    // FILETIMEs of 2006-01-02 (a Monday), 2006-07-01 (a Saturday), 2007-03-02 (a Friday).
    const uint64_t jan06 = 127806336000000000ull, jul06 = 127961856000000000ull, mar07 = 128172672000000000ull;
    session::ListContent content;
    content.changes = true;
    content.columnSet = ColumnSet::Mail;
    auto add = [&](const char* from, const char* subject, uint64_t date, uint32_t id) {
      char buffer[32];
      const std::string text(session::DateText(date, buffer));
      content.rows.push_back({session::kListEnvelope, {from, subject, "x", text}, id, date});
    };
    add("bob", "b", jul06, 1);
    add("Alice", "a", mar07, 2);
    add("carol", "c", jan06, 3);
    add("alice", "a", 0, 4);
    ItemList list;
    list.Render(content);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    auto ids = [&list] {
      QList<uint32_t> out;
      for (int i = 0; i < list.rowCount(); ++i) out.append(list.NodeIdAt(i));
      return out;
    };
    QCOMPARE(ids(), (QList<uint32_t>{1, 2, 3, 4}));  // the order given until a click
    QCOMPARE(list.sortedColumn(), -1);
    list.SetCurrentRow(2);  // id 3

    auto click = [&list](int column) {
      const int x = list.header()->sectionViewportPosition(column) + 5;
      QTest::mouseClick(list.header()->viewport(), Qt::LeftButton, {}, QPoint(x, list.header()->height() / 2));
    };
    click(3);
    QCOMPARE(ids(), (QList<uint32_t>{4, 3, 1, 2}));  // no date first, then by time
    QCOMPARE(list.NodeIdAt(list.currentRow()), 3u);
    click(3);
    QCOMPARE(ids(), (QList<uint32_t>{2, 1, 3, 4}));
    QCOMPARE(list.sortedOrder(), Qt::DescendingOrder);
    click(0);  // texts ignore case; "Alice" and "alice" keep their order
    QCOMPARE(ids(), (QList<uint32_t>{2, 4, 1, 3}));
    QCOMPARE(list.header()->sortIndicatorSection(), 0);
    click(0);  // the other way round: equal keys still keep their order
    QCOMPARE(ids(), (QList<uint32_t>{3, 1, 2, 4}));

    // Hidden, selected and current rows stay so wherever they move.
    list.FilterRows([&list](int row) { return list.NodeIdAt(row) != 1; });
    list.SelectRow(list.RowOf(2));
    click(3);
    QCOMPARE(ids(), (QList<uint32_t>{4, 3, 1, 2}));
    QVERIFY(!list.IsRowShown(list.RowOf(1)));
    QVERIFY(list.IsRowShown(list.RowOf(3)));
    QCOMPARE(list.SelectedNodeIds(), (std::vector<uint32_t>{3, 2}));
    QCOMPARE(list.NodeIdAt(list.currentRow()), 3u);
    // Rows added later come last, and are sorted with the others next time.
    content.rows[0].cells[0] = "aaron";
    content.rows[0].nodeId = 5;
    list.AppendRows({content.rows[0]});
    QCOMPARE(ids(), (QList<uint32_t>{4, 3, 1, 2, 5}));
    click(0);
    QCOMPARE(ids(), (QList<uint32_t>{5, 4, 2, 1, 3}));
    content.rows[0].cells[0] = "bob";
    content.rows[0].nodeId = 1;

    list.Render(content);  // a new list comes in its own order
    QCOMPARE(ids(), (QList<uint32_t>{1, 2, 3, 4}));
    QCOMPARE(list.sortedColumn(), -1);
  }

  void emptyContactsShowTheMailColumns() {
    QREQUIRE_SAMPLE("sample2.pst");
    FakePresenter presenter;
    MainWindow window(presenter);
    window.pathField()->setText(SamplePath("sample2.pst"));
    window.Start();
    QVERIFY(WaitForWorker(window));
    window.InsertFolderPath("Personal Folders\\Contacts\\");
    window.InsertFolderPath("Personal Folders\\Tasks\\");
    FolderTree* tree = window.folderTree();
    tree->setCurrentItem(tree->FindPath("Personal Folders\\Contacts\\"));
    QCOMPARE(window.itemList()->columnSet(), ColumnSet::Mail);
    QCOMPARE(window.itemList()->rowCount(), 0);
    tree->setCurrentItem(tree->FindPath("Personal Folders\\Tasks\\"));
    QCOMPARE(window.itemList()->columnSet(), ColumnSet::Tasks);
    QCOMPARE(window.itemList()->rowCount(), 0);
  }

 private:
  ItemList* Select(const char* path) {
    FolderTree* tree = window_->folderTree();
    QTreeWidgetItem* item = tree->FindPath(path);
    if (item == nullptr) return window_->itemList();
    if (tree->currentItem() == item) {
      window_->FillItemList(item);
    } else {
      tree->setCurrentItem(item);
    }
    return window_->itemList();
  }

  QTemporaryDir dir_;
  QString mailbox_;
  FakePresenter presenter_;
  std::unique_ptr<MainWindow> window_;
};

QTEST_MAIN(ItemListTest)
#include "item_list_test.moc"
