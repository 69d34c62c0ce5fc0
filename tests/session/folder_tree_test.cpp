#include "session/folder_tree.h"

#include <gtest/gtest.h>

namespace velmorix::session {
namespace {

std::vector<std::string> Paths(const FolderTreeModel& tree) {
  std::vector<std::string> out;
  for (const TreeItem* t : tree.PreOrder()) out.push_back(FolderTreeModel::ItemPath(t));
  return out;
}

TreeItem* Child(const TreeItem* item, const std::string& text) {
  for (const auto& c : item->children) {
    if (c->text == text) return c.get();
  }
  return nullptr;
}

TEST(FolderTreeModel, InsertsEachComponentOnceBelowItsParent) {
  FolderTreeModel tree;
  tree.InsertFolderPath("Personal Folders\\Inbox\\");
  tree.InsertFolderPath("Personal Folders\\Sent Items\\");
  tree.InsertFolderPath("Personal Folders\\Inbox\\Old\\");
  tree.InsertFolderPath("Personal Folders\\Inbox\\");
  EXPECT_EQ(Paths(tree), (std::vector<std::string>{"Personal Folders\\", "Personal Folders\\Inbox\\",
                                                   "Personal Folders\\Inbox\\Old\\",
                                                   "Personal Folders\\Sent Items\\"}));
  ASSERT_EQ(tree.topLevel().size(), 1u);
  const TreeItem* top = tree.topLevel()[0].get();
  EXPECT_TRUE(top->selected);
  EXPECT_TRUE(top->bold);
  EXPECT_TRUE(top->expanded);
  for (const TreeItem* t : tree.PreOrder()) EXPECT_TRUE(t->selected && t->bold) << t->text;
}

TEST(FolderTreeModel, ComponentsAreCaseSensitiveAndMayBeEmpty) {
  FolderTreeModel tree;
  tree.InsertFolderPath("Personal Folders\\inbox\\");
  tree.InsertFolderPath("Personal Folders\\Inbox\\");
  // An empty display name gives an item with empty text; trailing text
  // without a backslash is not a component.
  TreeItem* empty = tree.InsertFolderPath("Personal Folders\\\\tail");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->text, "");
  EXPECT_EQ(FolderTreeModel::ItemPath(empty), "Personal Folders\\\\");
  EXPECT_EQ(tree.topLevel()[0]->children.size(), 3u);
  EXPECT_EQ(tree.InsertFolderPath(""), nullptr);
  EXPECT_EQ(tree.InsertFolderPath("no backslash"), nullptr);
}

TEST(FolderTreeModel, PicturesComeFromTheUpperCasedName) {
  EXPECT_EQ(FolderTreeModel::ImageFor("Personal Folders", true, false), kImagePersonalFolders);
  EXPECT_EQ(FolderTreeModel::ImageFor("inbox", false, false), kImageInbox);
  EXPECT_EQ(FolderTreeModel::ImageFor("inbox", false, true), kImageInbox);
  EXPECT_EQ(FolderTreeModel::ImageFor("Sync Issues", false, true), kImageSyncIssues);
  EXPECT_EQ(FolderTreeModel::ImageFor("Junk E-mails", false, false), kImageJunk);
  EXPECT_EQ(FolderTreeModel::ImageFor("Junk E-mail", false, false), kImageClosedFolder);
  EXPECT_EQ(FolderTreeModel::ImageFor("Inbox Archive", false, false), kImageClosedFolder);
  EXPECT_EQ(FolderTreeModel::ImageFor("Inbox Archive", false, true), kImageOpenFolder);
  EXPECT_EQ(FolderTreeModel::ImageFor("Elsewhere", true, false), kImageDeletedItems);
  EXPECT_EQ(FolderTreeModel::ImageFor("Elsewhere", true, true), kImageDeletedItems);

  FolderTreeModel tree;
  TreeItem* sent = tree.InsertFolderPath("Personal Folders\\sent items\\");
  EXPECT_EQ(sent->image, kImageSentItems);
  EXPECT_EQ(sent->selectedImage, kImageSentItems);
  EXPECT_EQ(tree.topLevel()[0]->image, kImagePersonalFolders);
}

TEST(FolderTreeModel, SubtreeCommandsUpdateAncestorSelectionAndBold) {
  FolderTreeModel tree;
  tree.InsertFolderPath("Personal Folders\\Inbox\\Old\\");
  tree.InsertFolderPath("Personal Folders\\Sent Items\\");
  TreeItem* top = tree.topLevel()[0].get();
  TreeItem* inbox = Child(top, "Inbox");
  TreeItem* sent = Child(top, "Sent Items");
  TreeItem* old = Child(inbox, "Old");

  EXPECT_TRUE(FolderTreeModel::RunMenuCommand(inbox, kMenuDeselectSubtree));
  EXPECT_FALSE(inbox->selected || inbox->bold || old->selected || old->bold);
  EXPECT_FALSE(top->selected);
  EXPECT_TRUE(top->bold);  // Sent Items is still bold

  EXPECT_TRUE(FolderTreeModel::RunMenuCommand(sent, kMenuDeselectSubtree));
  EXPECT_FALSE(top->selected || top->bold);

  // Selecting a deep folder marks its ancestors bold, but selected only when
  // every child is.
  EXPECT_TRUE(FolderTreeModel::RunMenuCommand(old, kMenuSelectSubtree));
  EXPECT_TRUE(inbox->selected && inbox->bold);
  EXPECT_FALSE(top->selected);
  EXPECT_TRUE(top->bold);
  EXPECT_TRUE(FolderTreeModel::RunMenuCommand(sent, kMenuSelectSubtree));
  EXPECT_TRUE(top->selected && top->bold);

  EXPECT_FALSE(FolderTreeModel::RunMenuCommand(sent, kMenuDisplayFolder));
  EXPECT_FALSE(FolderTreeModel::RunMenuCommand(nullptr, kMenuSelectSubtree));
}

TEST(FolderTreeModel, ContextMenuListsSelectedFoldersDepthFirst) {
  FolderTreeModel tree;
  tree.InsertFolderPath("Personal Folders\\Inbox\\Old\\");
  tree.InsertFolderPath("Personal Folders\\Sent Items\\");
  TreeItem* top = tree.topLevel()[0].get();
  TreeItem* inbox = Child(top, "Inbox");

  auto menu = FolderTreeModel::ContextMenu(top);
  ASSERT_EQ(menu.size(), 7u);
  EXPECT_EQ(menu[0].text, std::string(27, ' ') + "Display Disk P" + std::string(28, ' '));
  EXPECT_EQ(menu[0].command, kMenuDisplayFolder);
  EXPECT_TRUE(menu[1].separator);
  EXPECT_EQ(menu[2].text, "Deselect this folder and all SubFolder");
  EXPECT_EQ(menu[2].command, kMenuDeselectSubtree);
  EXPECT_TRUE(menu[3].separator);
  EXPECT_EQ(menu[4].text, "Personal Folders\\Inbox\\");
  EXPECT_EQ(menu[5].text, "Personal Folders\\Inbox\\Old\\");
  EXPECT_EQ(menu[6].text, "Personal Folders\\Sent Items\\");
  EXPECT_EQ(menu[6].command, kMenuListed);

  FolderTreeModel::RunMenuCommand(inbox, kMenuDeselectSubtree);
  menu = FolderTreeModel::ContextMenu(inbox);
  ASSERT_EQ(menu.size(), 5u);
  EXPECT_EQ(menu[0].text, std::string(27, ' ') + "Display Folder Inbox" + std::string(28, ' '));
  EXPECT_EQ(menu[2].text, "Select this folder and all SubFolder");
  EXPECT_EQ(menu[2].command, kMenuSelectSubtree);
  EXPECT_EQ(menu[4].text, "0 Subfolder Selected");
  EXPECT_EQ(menu[4].command, kMenuNone);
  EXPECT_TRUE(FolderTreeModel::ContextMenu(nullptr).empty());
}

TEST(FolderTreeModel, LongNamesAndDeepPathsAreKeptWhole) {
  FolderTreeModel tree;
  std::string path = "Personal Folders\\";
  const std::string longName(500, 'x');
  for (int i = 0; i < 300; ++i) path += longName.substr(0, 1 + i % 200) + "\\";
  path += longName + "\\";
  TreeItem* last = tree.InsertFolderPath(path);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(FolderTreeModel::ItemPath(last), path);
  EXPECT_EQ(FolderTreeModel::ContextMenu(last)[0].text.size(), 27 + 15 + 500 + 28u);
  EXPECT_EQ(tree.PreOrder().size(), 302u);
}

}  // namespace
}  // namespace velmorix::session
