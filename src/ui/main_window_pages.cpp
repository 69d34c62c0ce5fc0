// The main window's pages: the controls of the start page and of the results
// page, where each is placed, and how they follow the window's size.
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QSplitter>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/folder_tree.h"
#include "ui/item_list.h"
#include "ui/main_window.h"
#include "ui/pictures.h"
#include "ui/search_bar.h"

namespace velmorix::ui {

namespace id = session;  // control identifiers: id::kNextButton, ...

namespace {

int MulDiv(int value, int numerator, int denominator) {
  return (value * numerator + denominator / 2) / denominator;
}

// The same picture lightened, shown while the pointer is over a button.
QPixmap Highlighted(const QPixmap& pixmap) {
  QPixmap out = pixmap;
  QPainter painter(&out);
  painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
  painter.fillRect(out.rect(), QColor(255, 255, 255, 70));
  return out;
}

}  // namespace

QRect MainWindow::DialogRect(int x, int y, int width, int height) const {
  return QRect(MulDiv(x, baseX_, 4), MulDiv(y, baseY_, 8), MulDiv(width, baseX_, 4),
               MulDiv(height, baseY_, 8));
}

void MainWindow::Place(QWidget* widget, int controlId, int x, int y, int width, int height, int anchor) {
  widget->setObjectName(QString::number(controlId));
  const QRect rect = DialogRect(x, y, width, height);
  widget->setGeometry(rect);
  controls_[controlId] = widget;
  placements_[widget] = {rect, anchor};
}

void MainWindow::Relayout() {
  if (baseSize_.isEmpty()) return;
  const int dx = std::max(0, width() - baseSize_.width());
  const int dy = std::max(0, height() - baseSize_.height());
  for (const auto& [widget, placement] : placements_) {
    QRect rect = placement.base;
    if (placement.anchor & kGrow) {
      rect.setSize(rect.size() + QSize(dx, dy));
    } else {
      rect.translate((placement.anchor & kRight) ? dx : 0, (placement.anchor & kBottom) ? dy : 0);
    }
    widget->setGeometry(rect);
  }
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  Relayout();
}

QToolButton* MainWindow::PictureButton(const QString& picture, int controlId, int x, int y,
                                       int width, int height) {
  auto* button = new QToolButton(this);
  Place(button, controlId, x, y, width, height);
  const QSize size = button->size() - QSize(4, 4);
  const QPixmap pixmap = Picture(picture, size);
  QIcon icon;
  icon.addPixmap(pixmap, QIcon::Normal);
  icon.addPixmap(Highlighted(pixmap), QIcon::Active);
  button->setIcon(icon);
  button->setIconSize(size);
  button->setAutoRaise(true);
  button->setFocusPolicy(Qt::TabFocus);
  button->setToolButtonStyle(Qt::ToolButtonIconOnly);
  return button;
}

void MainWindow::BuildControls() {
  openButton_ = PictureButton(QStringLiteral("open"), id::kOpenButton, 4, 2, 56, 31);
  openButton_->setAccessibleName(QStringLiteral("Open"));
  helpButton_ = PictureButton(QStringLiteral("help"), id::kHelpButton, 148, 3, 59, 29);
  helpButton_->setAccessibleName(QStringLiteral("Help"));
  aboutButton_ = PictureButton(QStringLiteral("about"), id::kAboutButton, 221, 3, 59, 29);
  aboutButton_->setAccessibleName(QStringLiteral("About"));
  buyButton_ = PictureButton(QStringLiteral("buy-online"), id::kBuyButton, 323, 8, 67, 15);
  placements_[buyButton_].anchor = kRight;
  buyButton_->setToolTip(QStringLiteral("Buy Software Online"));
  logoButton_ = PictureButton(QStringLiteral("logo"), id::kLogoButton, 419, 6, 69, 33);
  placements_[logoButton_].anchor = kRight;
  logoButton_->setToolTip(QStringLiteral("Click here to Know About  the software"));

  pathField_ = new QLineEdit(this);
  Place(pathField_, id::kPathField, 33, 156, 279, 16);

  selectFileButton_ = new QPushButton(QStringLiteral("Select File..."), this);
  Place(selectFileButton_, id::kSelectFileButton, 342, 157, 60, 18);
  // Enter must not press a button of this dialog.
  selectFileButton_->setAutoDefault(false);
  selectFileButton_->setDefault(false);

  nextButton_ = PictureButton(QStringLiteral("next"), id::kNextButton, 441, 273, 51, 24);
  placements_[nextButton_].anchor = kRight | kBottom;
  nextButton_->setAccessibleName(QStringLiteral("Next"));

  BuildResultsArea();

  statusLine_ = new QLabel(QStringLiteral("File Scanning Status"), this);
  Place(statusLine_, id::kStatusLine, 39, 274, 152, 12, kBottom);
  folderCountLabel_ = new QLabel(this);
  Place(folderCountLabel_, id::kFolderCountLabel, 203, 274, 75, 11, kBottom);
  folderCount_ = new QLabel(this);
  Place(folderCount_, id::kFolderCount, 269, 275, 45, 10, kBottom);
  folderCount_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  mailCountLabel_ = new QLabel(this);
  Place(mailCountLabel_, id::kMailCountLabel, 203, 287, 75, 10, kBottom);
  mailCount_ = new QLabel(this);
  Place(mailCount_, id::kMailCount, 271, 287, 42, 10, kBottom);
  mailCount_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  progress_ = new QProgressBar(this);
  Place(progress_, id::kProgressBar, 39, 286, 123, 10, kBottom);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);

  stopButton_ = PictureButton(QStringLiteral("stop"), id::kStopButton, 419, 273, 51, 24);
  placements_[stopButton_].anchor = kRight | kBottom;
  stopButton_->setAccessibleName(QStringLiteral("Stop"));
  backButton_ = PictureButton(QStringLiteral("back"), id::kBackButton, 345, 273, 51, 24);
  placements_[backButton_].anchor = kRight | kBottom;
  backButton_->setAccessibleName(QStringLiteral("Back"));
  backButton_->hide();
  deletedItemsButton_ = new QPushButton(QStringLiteral("Search for Deleted Items"), this);
  Place(deletedItemsButton_, id::kDeletedItemsButton, 399, 273, 92, 24);
  placements_[deletedItemsButton_].anchor = kRight | kBottom;
  deletedItemsButton_->setAutoDefault(false);
  deletedItemsButton_->hide();

  connect(openButton_, &QToolButton::clicked, this, &MainWindow::Open);
  connect(helpButton_, &QToolButton::clicked, this, &MainWindow::Help);
  connect(aboutButton_, &QToolButton::clicked, this, &MainWindow::About);
  connect(buyButton_, &QToolButton::clicked, this, &MainWindow::ProductPage);
  connect(logoButton_, &QToolButton::clicked, this, &MainWindow::ProductPage);
  connect(selectFileButton_, &QPushButton::clicked, this, &MainWindow::SelectFile);
  connect(pathField_, &QLineEdit::returnPressed, this, &MainWindow::Start);
  connect(nextButton_, &QToolButton::clicked, this, &MainWindow::Start);
  connect(stopButton_, &QToolButton::clicked, this, &MainWindow::Stop);
  connect(backButton_, &QToolButton::clicked, this, &MainWindow::Back);
  connect(deletedItemsButton_, &QPushButton::clicked, this, &MainWindow::SearchDeletedItems);
  connect(tree_, &FolderTree::fillRequested, this, &MainWindow::FillItemList);
  connect(list_, &ItemList::openRequested, this, &MainWindow::OpenItem);
  connect(list_, &ItemList::saveAsRequested, this, &MainWindow::SaveSelectedAs);
  connect(tree_, &FolderTree::savePstRequested, this, &MainWindow::SaveAsPst);
  connect(tree_, &FolderTree::exportRequested, this, &MainWindow::ExportFolder);
}


// The tree and the results beside it, split where the tree and the list
// were placed; the splitter grows with the window.
void MainWindow::BuildResultsArea() {
  splitter_ = new QSplitter(Qt::Horizontal, this);
  const QRect area = DialogRect(5, 51, 498, 210);
  splitter_->setGeometry(area);
  placements_[splitter_] = {area, kGrow};
  splitter_->setChildrenCollapsible(false);
  splitter_->setHandleWidth(std::max(1, DialogRect(0, 0, 1, 0).width()));
  splitter_->hide();

  tree_ = new FolderTree(splitter_);
  tree_->setObjectName(QString::number(id::kFolderTree));
  controls_[id::kFolderTree] = tree_;
  tree_->setMinimumWidth(DialogRect(0, 0, 60, 0).width());

  results_ = new QWidget(splitter_);
  auto* column = new QVBoxLayout(results_);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(2);
  searchBar_ = new SearchBar(results_);
  column->addWidget(searchBar_);
  listSplitter_ = new QSplitter(Qt::Vertical, results_);
  listSplitter_->setChildrenCollapsible(false);
  list_ = new ItemList(listSplitter_);
  list_->setObjectName(QString::number(id::kItemList));
  controls_[id::kItemList] = list_;
  listSplitter_->addWidget(list_);  // the reading pane follows once the readers exist
  column->addWidget(listSplitter_, 1);

  splitter_->addWidget(tree_);
  splitter_->addWidget(results_);
  splitter_->setStretchFactor(0, 0);
  splitter_->setStretchFactor(1, 1);
  splitter_->setSizes({DialogRect(0, 0, 153, 0).width(), DialogRect(0, 0, 344, 0).width()});
}

}  // namespace velmorix::ui
