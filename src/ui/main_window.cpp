#include "ui/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QThread>
#include <QToolButton>
#include <QTreeWidgetItem>

#include "session/folder_list.h"
#include "ui/export_job.h"
#include "ui/folder_tree.h"
#include "ui/item_list.h"
#include "ui/pictures.h"
#include "ui/presenter.h"
#include "ui/reader_hub.h"
#include "ui/text.h"

namespace velmorix::ui {

using session::Message;
using session::MessageAnswer;
using session::MessageButtons;
using session::MessageIcon;
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

MainWindow::MainWindow(Presenter& presenter, QWidget* parent)
    : QDialog(parent), presenter_(presenter) {
  setWindowTitle(QString::fromLatin1(session::kCaption));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  QFont dialogFont(QStringLiteral("Sans Serif"), 8);
  setFont(dialogFont);
  const QFontMetrics metrics(dialogFont);
  const int alphabet = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseX_ = std::max(1, (alphabet / 26 + 1) / 2);
  baseY_ = std::max(1, metrics.height());
  setFixedSize(DialogRect(0, 0, 510, 305).size());

  BuildControls();

  // Start-up, in order. The system-menu entry: X11 and Wayland offer no
  // window system menu, so the entry lives in the window's context menu.
  aboutAction_ = new QAction(QStringLiteral("&About Velmorix..."), this);
  connect(aboutAction_, &QAction::triggered, this, &MainWindow::About);

  setWindowIcon(AppIcon());

  tree_->hide();
  for (int counter : {id::kFolderCount, id::kMailCount, id::kFolderCountLabel, id::kMailCountLabel}) {
    SetControlText(counter, "");
  }

  list_->SetColumnSet(session::ColumnSet::Start);

  helpDirectory_ = QDir::currentPath();
  if (!helpDirectory_.endsWith(QLatin1Char('/'))) helpDirectory_ += QLatin1Char('/');

  progress_->hide();
  stopButton_->hide();
  stopButton_->setEnabled(false);

  progressTimer_.setInterval(kProgressTimerInterval);
  connect(&progressTimer_, &QTimer::timeout, this, &MainWindow::ProgressTick);
  pendingTimer_.setSingleShot(true);
  pendingTimer_.setInterval(kPendingUpdateDelay);
  connect(&pendingTimer_, &QTimer::timeout, this, &MainWindow::ApplyPendingUpdates);

  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  help->setContext(Qt::WindowShortcut);
  connect(help, &QShortcut::activated, this, &MainWindow::Help);

  session_ = std::make_unique<session::RecoverySession>(*this);
  // A damaged file: the user is asked whether to run the deep scan.
  session_->deepScan = session::DeepScanChoice::Ask;
  session_->onWorkerFinished = [this] {
    QMetaObject::invokeMethod(this, [this] { OnWorkerFinished(); }, Qt::QueuedConnection);
  };
  readers_ = std::make_unique<ReaderHub>(presenter_, *session_, this);
}

MainWindow::~MainWindow() {
  destroying_ = true;  // nothing pending may start or close anything now
  // The worker may be waiting on a call to this window: end it while its
  // calls can still be carried out, before the session goes.
  EndWorkerNow();
  // Item windows read the session's data: close them before it goes.
  readers_.reset();
}

QRect MainWindow::DialogRect(int x, int y, int width, int height) const {
  return QRect(MulDiv(x, baseX_, 4), MulDiv(y, baseY_, 8), MulDiv(width, baseX_, 4),
               MulDiv(height, baseY_, 8));
}

void MainWindow::Place(QWidget* widget, int controlId, int x, int y, int width, int height) {
  widget->setObjectName(QString::number(controlId));
  widget->setGeometry(DialogRect(x, y, width, height));
  controls_[controlId] = widget;
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
  buyButton_->setToolTip(QStringLiteral("Buy Software Online"));
  logoButton_ = PictureButton(QStringLiteral("logo"), id::kLogoButton, 419, 6, 69, 33);
  logoButton_->setToolTip(QStringLiteral("Click here to Know About  the software"));

  pathField_ = new QLineEdit(this);
  Place(pathField_, id::kPathField, 33, 156, 279, 16);

  selectFileButton_ = new QPushButton(QStringLiteral("Select File..."), this);
  Place(selectFileButton_, id::kSelectFileButton, 342, 157, 60, 18);
  // Enter must not press a button of this dialog.
  selectFileButton_->setAutoDefault(false);
  selectFileButton_->setDefault(false);

  nextButton_ = PictureButton(QStringLiteral("next"), id::kNextButton, 441, 273, 51, 24);
  nextButton_->setAccessibleName(QStringLiteral("Next"));

  tree_ = new FolderTree(this);
  Place(tree_, id::kFolderTree, 5, 51, 153, 210);
  tree_->hide();
  list_ = new ItemList(this);
  Place(list_, id::kItemList, 159, 51, 344, 210);
  list_->hide();

  statusLine_ = new QLabel(QStringLiteral("File Scanning Status"), this);
  Place(statusLine_, id::kStatusLine, 39, 274, 152, 12);
  folderCountLabel_ = new QLabel(this);
  Place(folderCountLabel_, id::kFolderCountLabel, 203, 274, 75, 11);
  folderCount_ = new QLabel(this);
  Place(folderCount_, id::kFolderCount, 269, 275, 45, 10);
  folderCount_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  mailCountLabel_ = new QLabel(this);
  Place(mailCountLabel_, id::kMailCountLabel, 203, 287, 75, 10);
  mailCount_ = new QLabel(this);
  Place(mailCount_, id::kMailCount, 271, 287, 42, 10);
  mailCount_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  progress_ = new QProgressBar(this);
  Place(progress_, id::kProgressBar, 39, 286, 123, 10);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);

  stopButton_ = PictureButton(QStringLiteral("stop"), id::kStopButton, 419, 273, 51, 24);
  stopButton_->setAccessibleName(QStringLiteral("Stop"));
  backButton_ = PictureButton(QStringLiteral("back"), id::kBackButton, 345, 273, 51, 24);
  backButton_->setAccessibleName(QStringLiteral("Back"));
  backButton_->hide();
  deletedItemsButton_ = new QPushButton(QStringLiteral("Search for Deleted Items"), this);
  Place(deletedItemsButton_, id::kDeletedItemsButton, 399, 273, 92, 24);
  deletedItemsButton_->setAutoDefault(false);
  deletedItemsButton_->hide();

  connect(openButton_, &QToolButton::clicked, this, &MainWindow::Open);
  connect(helpButton_, &QToolButton::clicked, this, &MainWindow::Help);
  connect(aboutButton_, &QToolButton::clicked, this, &MainWindow::About);
  connect(buyButton_, &QToolButton::clicked, this, &MainWindow::ProductPage);
  connect(logoButton_, &QToolButton::clicked, this, &MainWindow::ProductPage);
  connect(selectFileButton_, &QPushButton::clicked, this, &MainWindow::SelectFile);
  connect(nextButton_, &QToolButton::clicked, this, &MainWindow::Start);
  connect(stopButton_, &QToolButton::clicked, this, &MainWindow::Stop);
  connect(backButton_, &QToolButton::clicked, this, &MainWindow::Back);
  connect(deletedItemsButton_, &QPushButton::clicked, this, &MainWindow::SearchDeletedItems);
  connect(tree_, &FolderTree::fillRequested, this, &MainWindow::FillItemList);
  connect(list_, &ItemList::openRequested, this, &MainWindow::OpenItem);
  connect(list_, &ItemList::saveAsRequested, this, &MainWindow::SaveSelectedAs);
  connect(tree_, &FolderTree::exportRequested, this, &MainWindow::ExportFolder);
}

QWidget* MainWindow::control(int controlId) const {
  auto it = controls_.find(controlId);
  return it == controls_.end() ? nullptr : it->second;
}

// ---- worker bridge ----

template <typename F>
void MainWindow::OnUiThread(F&& f) {
  if (QThread::currentThread() == thread()) {
    ApplyPendingUpdates();
    f();
    return;
  }
  QMetaObject::invokeMethod(
      this,
      [this, &f] {
        ++workerCallDepth_;
        ApplyPendingUpdates();
        f();
        --workerCallDepth_;
      },
      Qt::BlockingQueuedConnection);
}

// Texts and the progress position change once per scanned node or mail. A
// round trip to this thread for each would make the scan several times
// slower, so the worker leaves the newest values here and one queued call
// applies them, a short while later so that the window is not redrawn for
// every mail. Every other call (and every call made on this thread) applies
// them first, and queued calls are handled in order, so whenever a later
// call returns the window shows exactly what a synchronous update would.
template <typename F>
void MainWindow::Defer(F&& update) {
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    update(pending_);
    post = !pending_.posted;
    pending_.posted = true;
  }
  if (post) {
    QMetaObject::invokeMethod(this, [this] { pendingTimer_.start(); }, Qt::QueuedConnection);
  }
}

void MainWindow::ApplyPendingUpdates() {
  PendingUpdates updates;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    if (!pending_.posted) return;
    updates = std::move(pending_);
    pending_ = PendingUpdates{};
  }
  for (const auto& [path, kind] : updates.folders) {
    if (kind) {
      tree_->SetFolderKind(path, *kind);
    } else {
      tree_->InsertFolderPath(path);
    }
  }
  for (const auto& [controlId, text] : updates.texts) ApplyText(controlId, text);
  if (updates.position) progress_->setValue(*updates.position);
}

void MainWindow::ApplyText(int controlId, const std::string& text) {
  QWidget* widget = control(controlId);
  const QString value = ToQString(text);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(value);
  } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    edit->setText(value);
  } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
    button->setText(value);
  }
}

void MainWindow::SetControlText(int controlId, const std::string& text) {
  if (QThread::currentThread() == thread()) {
    ApplyPendingUpdates();
    ApplyText(controlId, text);
    return;
  }
  Defer([controlId, &text](PendingUpdates& pending) { pending.texts[controlId] = text; });
}

void MainWindow::ShowControl(int controlId, bool shown) {
  OnUiThread([this, controlId, shown] {
    if (QWidget* widget = control(controlId)) widget->setVisible(shown);
  });
}

void MainWindow::EnableControl(int controlId, bool enabled) {
  OnUiThread([this, controlId, enabled] {
    if (QWidget* widget = control(controlId)) widget->setEnabled(enabled);
  });
}

void MainWindow::SetProgressRange(int low, int high) {
  OnUiThread([this, low, high] { progress_->setRange(low, std::max(low, high)); });
}

void MainWindow::SetProgressPosition(int position) {
  if (QThread::currentThread() == thread()) {
    ApplyPendingUpdates();
    progress_->setValue(position);
    return;
  }
  Defer([position](PendingUpdates& pending) { pending.position = position; });
}

void MainWindow::StartProgressTimer() {
  OnUiThread([this] { progressTimer_.start(); });
}

void MainWindow::StopProgressTimer() {
  OnUiThread([this] { progressTimer_.stop(); });
}

void MainWindow::ApplyFileSelectionLayout() {
  OnUiThread([this] {
    for (int shown : {id::kPathField, id::kSelectFileButton, id::kNextButton}) control(shown)->show();
    for (int hidden : {id::kFolderTree, id::kItemList, id::kProgressBar, id::kBackButton,
                       id::kStopButton, id::kDeletedItemsButton, id::kStatusLine, id::kFolderCountLabel, id::kFolderCount,
                       id::kMailCountLabel, id::kMailCount}) {
      control(hidden)->hide();
    }
    pathText_.clear();
    pathField_->clear();
  });
}

void MainWindow::ApplyScanningLayout() {
  OnUiThread([this] {
    for (int shown : {id::kFolderTree, id::kItemList, id::kStopButton, id::kBackButton,
                      id::kStatusLine, id::kFolderCountLabel, id::kFolderCount,
                      id::kMailCountLabel, id::kMailCount}) {
      control(shown)->show();
    }
    for (int hidden : {id::kPathField, id::kSelectFileButton, id::kNextButton, id::kDeletedItemsButton}) {
      control(hidden)->hide();
    }
  });
}

void MainWindow::ClearViews() {
  OnUiThread([this] {
    list_->SetColumnSet(session::ColumnSet::Start);
    tree_->Clear();
  });
}

// A scan inserts a folder at a time; a round trip to this thread for each
// would hold the worker up behind the tree's layout and painting, so they
// are applied in order with the deferred texts.
void MainWindow::InsertFolderPath(const std::string& path) {
  if (QThread::currentThread() == thread()) {
    ApplyPendingUpdates();
    tree_->InsertFolderPath(path);
    return;
  }
  Defer([&path](PendingUpdates& pending) { pending.folders.emplace_back(path, std::nullopt); });
}

void MainWindow::SetFolderKind(const std::string& path, session::ColumnSet set) {
  if (QThread::currentThread() == thread()) {
    ApplyPendingUpdates();
    tree_->SetFolderKind(path, set);
    return;
  }
  Defer([&path, set](PendingUpdates& pending) { pending.folders.emplace_back(path, set); });
}

MessageAnswer MainWindow::ShowMessage(const Message& message) {
  MessageAnswer answer = MessageAnswer::Ok;
  OnUiThread([this, &message, &answer] {
    answer = presenter_.ShowMessage(message.ownedByWindow ? this : nullptr, message);
  });
  return answer;
}

MessageAnswer MainWindow::Ask(const char* text, MessageIcon icon, MessageButtons buttons) {
  Message message;
  message.caption = session::kCaption;
  message.text = text;
  message.icon = icon;
  message.buttons = buttons;
  return ShowMessage(message);
}

void MainWindow::EndWorkerNow() {
  if (!session_) return;
  if (session_->WorkerRunning()) {
    session_->stopRequest().store(true);
    // The worker may be waiting on a call to this window: carry its calls
    // out here until it has left its body. Posted calls are delivered
    // explicitly, as a nested event loop started from a posted event does
    // not deliver further posted events on every event dispatcher.
    while (session_->WorkerRunning()) {
      QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
      QThread::msleep(1);
    }
  }
  session_->WaitForWorker();
}

void MainWindow::OnWorkerFinished() {
  if (destroying_ || session_->WorkerRunning()) return;  // a newer worker is running
  session_->WaitForWorker();
  if (backPending_) {
    backPending_ = false;
    FinishBack();
  }
  if (exitConfirmed_) close();
  // Offered after every finished recovery, on a file found intact too.
  deletedItemsButton_->setVisible(session_->state() == session::SessionState::Finished &&
                                  session_->outcome() == session::RunOutcome::Finished);
  if (startPending_) {
    startPending_ = false;
    Start();
  }
  emit workerFinished();
}

// ---- commands ----

void MainWindow::Open() {
  if (session_->state() != session::SessionState::Idle) return;
  SelectFile();
  Start();
}

void MainWindow::SelectFile() {
  pathText_ = presenter_.SelectOpenFile(this, QString::fromLatin1(kSelectFileTitle),
                                        QString::fromLatin1(kFileFilters));
  pathField_->setText(pathText_);
}

void MainWindow::Start() {
  pathText_ = pathField_->text();
  if (pathText_.isEmpty() || !QFileInfo::exists(pathText_)) {
    Ask("Please select a valid file first", MessageIcon::Question, MessageButtons::Ok);
    return;
  }
  // After a failed recovery the worker may still be finishing its last
  // window calls; one worker at a time, so start once it has ended.
  if (session_->WorkerRunning()) {
    startPending_ = true;
    return;
  }
  session_->WaitForWorker();
  // The new run replaces the data open item windows read.
  readers_->CloseReaders();
  session_->StartRecovery(PathToStd(pathText_));
}

void MainWindow::Stop() {
  if (stopButton_->isHidden() || !stopButton_->isEnabled()) return;
  session_->RequestStop();
}

void MainWindow::Back() {
  if (backButton_->isHidden() || !backButton_->isEnabled()) return;
  // Session data is released only once the worker has ended: a running
  // worker is asked to stop, and the discard follows when it has ended. The
  // user-interface thread keeps dispatching meanwhile.
  if (session_->WorkerRunning()) {
    session_->stopRequest().store(true);
    backPending_ = true;
    return;
  }
  FinishBack();
}

void MainWindow::SearchDeletedItems() {
  if (deletedItemsButton_->isHidden() || session_->WorkerRunning()) return;
  deletedItemsButton_->hide();
  session_->StartDeepScan();
}

void MainWindow::FinishBack() {
  deletedItemsButton_->hide();
  session_->WaitForWorker();
  readers_->CloseReaders();
  session_->DiscardRecovery();
  pathText_.clear();
}

void MainWindow::Help() {
  const QString file = helpDirectory_ + QString::fromLatin1(kHelpFileName);
  if (!QFileInfo::exists(file)) {
    Ask("Velmorix Help File Not Found", MessageIcon::Information, MessageButtons::Ok);
    return;
  }
  presenter_.OpenUrl(QUrl::fromLocalFile(file));
}

void MainWindow::About() { presenter_.ShowAbout(this); }

void MainWindow::ProductPage() { presenter_.OpenUrl(QUrl(QString::fromLatin1(kProductPage))); }

void MainWindow::ProgressTick() {
  int position = std::max(progress_->value(), progress_->minimum()) + kProgressStep;
  if (position > progress_->maximum()) position = progress_->minimum();
  progress_->setValue(position);
  emit progressTicked();
}

void MainWindow::FillItemList(QTreeWidgetItem* item) {
  if (item == nullptr || tree_->ModelItem(item) == nullptr) return;
  const session::ListContent content = session::FillItemList(session_->data(), tree_->PathOf(item));
  list_->Render(content);
  if (content.toggleExpansion) item->setExpanded(!item->isExpanded());
}

void MainWindow::OpenItem(uint32_t nodeId) {
  if (nodeId == 0 || session_->state() == session::SessionState::Idle) return;
  readers_->OpenItem(nodeId);
}

void MainWindow::ExportFolder(QTreeWidgetItem* item) {
  const session::TreeItem* folder = tree_->ModelItem(item);
  if (folder == nullptr || session_->state() == session::SessionState::Idle) return;
  if (export_ && !export_->finished()) return;  // one export at a time
  const QString dir = presenter_.SelectFolder(this, QStringLiteral("Export Folder"));
  if (dir.isEmpty()) return;
  if (export_) export_->deleteLater();
  export_ = ExportJob::Start(*readers_, presenter_, this, FolderExport(tree_->model(), session_->data(), *folder), dir);
}

void MainWindow::SaveSelectedAs() {
  if (session_->state() == session::SessionState::Idle) return;
  if (export_ && !export_->finished()) return;
  std::vector<SelectedRow> rows;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* row = list_->topLevelItem(i);
    const uint32_t id = row->data(0, ItemList::kNodeIdRole).toUInt();
    if (row->isSelected() && id != 0) rows.push_back({id, row->data(0, ItemList::kPictureRole).toInt()});
  }
  if (rows.empty()) return;
  const QString dir = presenter_.SelectFolder(this, QStringLiteral("Save As"));
  if (dir.isEmpty()) return;
  if (export_) export_->deleteLater();
  export_ = ExportJob::Start(*readers_, presenter_, this, RowsExport(rows), dir);
}

// ---- window events ----

void MainWindow::keyPressEvent(QKeyEvent* event) {
  // Enter and Escape are not dialog keys here: they neither close the window
  // nor press a button.
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}

void MainWindow::reject() {
  // The window closes only through Exit (closeEvent).
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!exitConfirmed_) {
    if (exitPending_) {
      event->ignore();
      return;
    }
    if (isMinimized()) showNormal();
    exitPending_ = true;
    const MessageAnswer answer =
        Ask("Do you really want to exit? ", MessageIcon::Question, MessageButtons::YesNo);
    exitPending_ = false;
    if (answer != MessageAnswer::Yes) {
      event->ignore();
      return;
    }
    exitConfirmed_ = true;
  }
  if (session_->WorkerRunning() || workerCallDepth_ > 0) {
    // The worker may be waiting on this thread (even on a call further down
    // its stack): ask it to stop and finish the exit once it has ended.
    session_->stopRequest().store(true);
    event->ignore();
    return;
  }
  session_->WaitForWorker();
  progressTimer_.stop();
  readers_->CloseReaders();
  readers_->CloseWindows();
  session_->ReleaseSessionData();
  exitConfirmed_ = false;
  event->accept();
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addSeparator();
  menu.addAction(aboutAction_);
  menu.exec(event->globalPos());
}

}  // namespace velmorix::ui
