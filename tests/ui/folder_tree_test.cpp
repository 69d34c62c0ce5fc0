// The folder tree widget: pictures, bold text and selection flags rendered
// from the model, mouse handling, context-menu entries and commands.
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include "session/folder_list.h"
#include "session/folder_tree.h"
#include "ui/folder_tree.h"
#include "ui/pictures.h"

using namespace velmorix;
using namespace velmorix::ui;
using session::MenuEntry;

namespace {

int Flag(QTreeWidgetItem* item) { return item->data(0, FolderTree::kSelectionFlagRole).toInt(); }
bool Bold(QTreeWidgetItem* item) { return item->font(0).bold(); }
int Image(QTreeWidgetItem* item) { return item->data(0, FolderTree::kImageRole).toInt(); }
int SelectedImage(QTreeWidgetItem* item) { return item->data(0, FolderTree::kSelectedImageRole).toInt(); }

QStringList Texts(const std::vector<MenuEntry>& entries) {
  QStringList out;
  for (const MenuEntry& e : entries) {
    out.append(e.separator ? QStringLiteral("-") : QString::fromStdString(e.text));
  }
  return out;
}

const QString kDisplayInbox = QString(27, QLatin1Char(' ')) + QStringLiteral("Display Folder Inbox") +
                              QString(28, QLatin1Char(' '));

}  // namespace

class FolderTreeTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    tree_ = std::make_unique<FolderTree>();
    tree_->resize(300, 400);
    menus_.clear();
    menuAnswer_ = session::kMenuNone;
    tree_->popupMenu = [this](const std::vector<MenuEntry>& entries, const QPoint&) {
      menus_.push_back(entries);
      return menuAnswer_;
    };
  }
  void cleanup() { tree_.reset(); }

  void insertedPathsAreSelectedBoldAndExpanded() {
    tree_->InsertFolderPath("Personal Folders\\Inbox\\");
    tree_->InsertFolderPath("Personal Folders\\Sent Items\\");
    QCOMPARE(tree_->topLevelItemCount(), 1);
    QTreeWidgetItem* top = tree_->topLevelItem(0);
    QCOMPARE(top->text(0), QStringLiteral("Personal Folders"));
    QCOMPARE(top->childCount(), 2);
    QCOMPARE(top->child(0)->text(0), QStringLiteral("Inbox"));
    QCOMPARE(top->child(1)->text(0), QStringLiteral("Sent Items"));
    for (QTreeWidgetItem* item : {top, top->child(0), top->child(1)}) {
      QCOMPARE(Flag(item), 2);
      QVERIFY(Bold(item));
      QVERIFY(item->isExpanded());
      QVERIFY(!item->icon(0).isNull());
    }
    QCOMPARE(tree_->PathOf(top->child(1)), std::string("Personal Folders\\Sent Items\\"));
    QCOMPARE(tree_->FindPath("Personal Folders\\Inbox\\"), top->child(0));
    QCOMPARE(tree_->FindPath("Personal Folders\\Outbox\\"), nullptr);

    // Inserting a path again adds nothing.
    tree_->InsertFolderPath("Personal Folders\\Inbox\\");
    QCOMPARE(top->childCount(), 2);
  }

  void picturesFollowTheFolderNames() {
    tree_->InsertFolderPath("Personal Folders\\inbox\\");
    tree_->InsertFolderPath("Personal Folders\\Inbox Archive\\");
    tree_->InsertFolderPath("Personal Folders\\Sent Items\\");
    tree_->InsertFolderPath("Personal Folders\\SYNC ISSUES\\");
    tree_->InsertFolderPath("Elsewhere\\");
    QTreeWidgetItem* top = tree_->topLevelItem(0);
    QCOMPARE(Image(top), int(session::kImagePersonalFolders));
    QCOMPARE(Image(top->child(0)), int(session::kImageInbox));
    QCOMPARE(SelectedImage(top->child(0)), int(session::kImageInbox));
    QCOMPARE(Image(top->child(1)), int(session::kImageClosedFolder));
    QCOMPARE(SelectedImage(top->child(1)), int(session::kImageOpenFolder));
    QCOMPARE(Image(top->child(2)), int(session::kImageSentItems));
    QCOMPARE(Image(top->child(3)), int(session::kImageSyncIssues));
    QTreeWidgetItem* other = tree_->topLevelItem(1);
    QCOMPARE(Image(other), int(session::kImageDeletedItems));
    QCOMPARE(SelectedImage(other), int(session::kImageDeletedItems));
    // The open-folder picture is drawn for a selected plain folder.
    const QImage normal = top->child(1)->icon(0).pixmap(16, 16, QIcon::Normal).toImage();
    const QImage selected = top->child(1)->icon(0).pixmap(16, 16, QIcon::Selected).toImage();
    QVERIFY(normal != selected);
  }

  void kindPicturesReplaceOnlyPlainFolderPictures() {
    tree_->InsertFolderPath("Personal Folders\\Kontakte\\");
    tree_->InsertFolderPath("Personal Folders\\Inbox\\");
    QTreeWidgetItem* top = tree_->topLevelItem(0);
    tree_->SetFolderKind("Personal Folders\\Kontakte\\", session::ColumnSet::Contacts);
    tree_->SetFolderKind("Personal Folders\\Inbox\\", session::ColumnSet::Contacts);
    tree_->SetFolderKind("Personal Folders\\Elsewhere\\", session::ColumnSet::Contacts);
    QCOMPARE(Image(top->child(0)), int(session::kImageContacts));
    QCOMPARE(SelectedImage(top->child(0)), int(session::kImageContacts));
    QCOMPARE(Image(top->child(1)), int(session::kImageInbox));
    QCOMPARE(top->childCount(), 2);
    tree_->SetFolderKind("Personal Folders\\Kontakte\\", session::ColumnSet::Mail);
    QCOMPARE(Image(top->child(0)), int(session::kImageClosedFolder));
    QCOMPARE(SelectedImage(top->child(0)), int(session::kImageOpenFolder));
  }

  void namesDifferingInCaseAreTwoItems() {
    tree_->InsertFolderPath("Personal Folders\\Work\\");
    tree_->InsertFolderPath("Personal Folders\\work\\");
    QCOMPARE(tree_->topLevelItem(0)->childCount(), 2);
  }

  void everyImageIsDrawn() {
    for (int i = 0; i < kTreeImageCount; ++i) {
      const QImage image = TreeImage(i).toImage();
      QVERIFY2(!image.isNull(), qPrintable(QString::number(i)));
      QCOMPARE(TreeImage(i).deviceIndependentSize().toSize(), QSize(16, 16));
      bool painted = false;
      for (int y = 0; y < image.height() && !painted; ++y) {
        for (int x = 0; x < image.width() && !painted; ++x) painted = qAlpha(image.pixel(x, y)) > 0;
      }
      QVERIFY2(painted, qPrintable(QString::number(i)));
    }
    for (int i = 0; i < kListImageCount; ++i) QVERIFY(!ListImage(i).isNull());
    QVERIFY(TreeImage(kTreeImageCount).isNull());
    QVERIFY(ListImage(-1).isNull());
  }

  void contextMenuEntriesAndCommands() {
    tree_->InsertFolderPath("Personal Folders\\Inbox\\");
    tree_->InsertFolderPath("Personal Folders\\Sent Items\\");
    tree_->show();
    QVERIFY(QTest::qWaitForWindowExposed(tree_.get()));
    QTreeWidgetItem* top = tree_->topLevelItem(0);
    QTreeWidgetItem* inbox = top->child(0);
    QTreeWidgetItem* sent = top->child(1);

    RightClick(inbox);
    QCOMPARE(tree_->currentItem(), inbox);
    QCOMPARE(menus_.size(), size_t{1});
    // The folder's own commands first, then the entries of the tree.
    QCOMPARE(Texts(menus_.back()),
             (QStringList{"Export Folder...", "Save as PST...", "-", kDisplayInbox, "-",
                          "Deselect this folder and all SubFolder", "-", "0 Subfolder Selected"}));
    QCOMPARE(menus_.back()[3].command, int(session::kMenuDisplayFolder));
    QCOMPARE(menus_.back()[5].command, int(session::kMenuDeselectSubtree));
    QCOMPARE(menus_.back()[7].command, int(session::kMenuNone));

    // Deselecting one child: the parent is no longer selected but stays bold.
    menuAnswer_ = session::kMenuDeselectSubtree;
    RightClick(inbox);
    QCOMPARE(Flag(inbox), 1);
    QVERIFY(!Bold(inbox));
    QCOMPARE(Flag(top), 1);
    QVERIFY(Bold(top));
    RightClick(sent);
    QVERIFY(!Bold(top));

    menuAnswer_ = session::kMenuNone;
    RightClick(inbox);
    QCOMPARE(Texts(menus_.back())[5], QStringLiteral("Select this folder and all SubFolder"));

    // Selecting both children again selects the parent.
    menuAnswer_ = session::kMenuSelectSubtree;
    RightClick(inbox);
    QCOMPARE(Flag(top), 1);
    RightClick(sent);
    QCOMPARE(Flag(top), 2);
    QVERIFY(Bold(top));

    // The top item lists the selected folders below it.
    menuAnswer_ = session::kMenuNone;
    RightClick(top);
    const QStringList topMenu = Texts(menus_.back());
    QCOMPARE(topMenu[3], QString(27, QLatin1Char(' ')) + QStringLiteral("Display Disk P") +
                             QString(28, QLatin1Char(' ')));
    QCOMPARE(topMenu.mid(7), (QStringList{"Personal Folders\\Inbox\\", "Personal Folders\\Sent Items\\"}));
    QCOMPARE(menus_.back()[7].command, int(session::kMenuListed));

    // On screen the folder paths go into one submenu, however many there are.
    QMenu menu;
    FolderTree::BuildMenu(menu, menus_.back());
    QStringList shown;
    for (QAction* action : menu.actions()) shown.append(action->isSeparator() ? QStringLiteral("-") : action->text());
    QCOMPARE(shown.size(), 8);
    QCOMPARE(shown.last(), QStringLiteral("Selected Subfolders (2)"));
    QMenu* paths = menu.actions().last()->menu();
    QVERIFY(paths != nullptr);
    QCOMPARE(paths->actions().size(), 2);
    QCOMPARE(paths->actions().front()->data().toInt(), int(session::kMenuListed));

    // Listed entries change nothing.
    menuAnswer_ = session::kMenuListed;
    RightClick(top);
    QCOMPARE(Flag(inbox), 2);

    // "Export Folder..." asks for the folder's export.
    QSignalSpy exports(tree_.get(), &FolderTree::exportRequested);
    menuAnswer_ = FolderTree::kMenuExportFolder;
    RightClick(sent);
    QCOMPARE(exports.size(), 1);
    QCOMPARE(exports.front().front().value<QTreeWidgetItem*>(), sent);
    QCOMPARE(Flag(sent), 2);
  }

  void displayFolderShowsTheFolderInsteadOfOpeningIt() {
    tree_->InsertFolderPath("Personal Folders\\Inbox\\");
    tree_->show();
    QVERIFY(QTest::qWaitForWindowExposed(tree_.get()));
    QTreeWidgetItem* inbox = tree_->topLevelItem(0)->child(0);
    tree_->setCurrentItem(inbox);
    QSignalSpy fills(tree_.get(), &FolderTree::fillRequested);
    menuAnswer_ = session::kMenuDisplayFolder;
    RightClick(inbox);
    QCOMPARE(fills.size(), 1);
    QCOMPARE(fills.front().front().value<QTreeWidgetItem*>(), inbox);
  }

  void rightClickOnEmptySpaceDoesNothing() {
    tree_->InsertFolderPath("Personal Folders\\Inbox\\");
    tree_->show();
    QVERIFY(QTest::qWaitForWindowExposed(tree_.get()));
    QTreeWidgetItem* inbox = tree_->topLevelItem(0)->child(0);
    tree_->setCurrentItem(inbox);
    QSignalSpy fills(tree_.get(), &FolderTree::fillRequested);
    QTest::mouseClick(tree_->viewport(), Qt::RightButton, {}, QPoint(150, 380));
    QVERIFY(menus_.empty());
    QCOMPARE(tree_->currentItem(), inbox);
    QCOMPARE(fills.size(), 0);
  }

  void leftClicksFillTheList() {
    tree_->InsertFolderPath("Personal Folders\\Inbox\\");
    tree_->InsertFolderPath("Personal Folders\\Outbox\\");
    tree_->show();
    QVERIFY(QTest::qWaitForWindowExposed(tree_.get()));
    QTreeWidgetItem* inbox = tree_->topLevelItem(0)->child(0);
    QTreeWidgetItem* outbox = tree_->topLevelItem(0)->child(1);
    tree_->setCurrentItem(outbox);
    QSignalSpy fills(tree_.get(), &FolderTree::fillRequested);
    // A new item: once for the selection change, once for the click.
    QTest::mouseClick(tree_->viewport(), Qt::LeftButton, {}, tree_->visualItemRect(inbox).center());
    QCOMPARE(fills.size(), 2);
    QCOMPARE(tree_->currentItem(), inbox);
    // The selected item again: once.
    QTest::mouseClick(tree_->viewport(), Qt::LeftButton, {}, tree_->visualItemRect(inbox).center());
    QCOMPARE(fills.size(), 3);
    // Keyboard navigation fills through the selection change.
    QTest::keyClick(tree_->viewport(), Qt::Key_Down);
    QCOMPARE(tree_->currentItem(), outbox);
    QCOMPARE(fills.size(), 4);
  }

  void longNamesAreHandled() {
    const std::string longName(400, 'x');
    tree_->InsertFolderPath("Personal Folders\\" + longName + "\\");
    QTreeWidgetItem* top = tree_->topLevelItem(0);
    QVERIFY(top != nullptr);
    QCOMPARE(top->childCount(), 1);
    const std::vector<MenuEntry> entries = tree_->MenuFor(top->child(0));
    QVERIFY(!entries.empty());
  }

  void countsFollowTheNames() {
    tree_->InsertFolderPath("Personal Folders\\Inbox\\");
    QTreeWidgetItem* inbox = tree_->topLevelItem(0)->child(0);
    tree_->SetCount("Personal Folders\\Inbox\\", 1234);
    QCOMPARE(inbox->text(0), QStringLiteral("Inbox (1,234)"));
    QCOMPARE(tree_->PathOf(inbox), std::string("Personal Folders\\Inbox\\"));
    tree_->SetCount("Personal Folders\\Inbox\\", 0);
    QCOMPARE(inbox->text(0), QStringLiteral("Inbox"));
    QVERIFY(!tree_->SetCount("Personal Folders\\Nowhere\\", 5));  // no such folder: nothing happens
  }

  void clearRemovesEverything() {
    tree_->InsertFolderPath("Personal Folders\\Inbox\\");
    tree_->setCurrentItem(tree_->topLevelItem(0)->child(0));
    tree_->Clear();
    QCOMPARE(tree_->topLevelItemCount(), 0);
    QVERIFY(tree_->model().topLevel().empty());
    tree_->InsertFolderPath("Personal Folders\\Inbox\\");
    QCOMPARE(tree_->topLevelItemCount(), 1);
  }

 private:
  void RightClick(QTreeWidgetItem* item) {
    QTest::mouseClick(tree_->viewport(), Qt::RightButton, {}, tree_->visualItemRect(item).center());
  }

  std::unique_ptr<FolderTree> tree_;
  std::vector<std::vector<MenuEntry>> menus_;
  int menuAnswer_ = session::kMenuNone;
};

QTEST_MAIN(FolderTreeTest)
#include "folder_tree_test.moc"
