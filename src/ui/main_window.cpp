#include "ui/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QThread>
#include <QToolButton>
#include <QTreeWidgetItem>

#include "session/folder_list.h"
#include "session/listed_items.h"
#include "ui/export_job.h"
#include "ui/failure_reason.h"
#include "ui/folder_tree.h"
#include "ui/item_list.h"
#include "ui/pictures.h"
#include "ui/presenter.h"
#include "ui/reader_hub.h"
#include "ui/reading_pane.h"
#include "ui/search_bar.h"
#include "ui/text.h"

namespace velmorix::ui {

using session::Message;
using session::MessageAnswer;
using session::MessageButtons;
using session::MessageIcon;
namespace id = session;  // control identifiers: id::kNextButton, ...

MainWindow::MainWindow(Presenter& presenter, QWidget* parent)
    : QDialog(parent), presenter_(presenter) {
  setWindowTitle(QString::fromLatin1(session::kCaption));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  QFont dialogFont(QStringLiteral("Sans Serif"), 8);
  setFont(dialogFont);
  const QFontMetrics metrics(dialogFont);
  const int alphabet = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseX_ = std::max(1, (alphabet / 26 + 1) / 2);
  baseY_ = std::max(1, metrics.height());
  // The specified size is the first and the least; nothing of the size is
  // kept for the next start.
  baseSize_ = DialogRect(0, 0, 510, 305).size();
  setMinimumSize(baseSize_);
  resize(baseSize_);
  setSizeGripEnabled(true);
  setAcceptDrops(true);

  BuildControls();

  // Start-up, in order. The system-menu entry: X11 and Wayland offer no
  // window system menu, so the entry lives in the window's context menu.
  aboutAction_ = new QAction(QStringLiteral("&About Velmorix..."), this);
  connect(aboutAction_, &QAction::triggered, this, &MainWindow::About);

  setWindowIcon(AppIcon());

  for (int counter : {id::kFolderCount, id::kMailCount, id::kFolderCountLabel, id::kMailCountLabel}) {
    SetControlText(counter, "");
  }

  list_->SetColumnSet(session::ColumnSet::Start);

  helpDirectory_ = QDir::currentPath();
  if (!helpDirectory_.endsWith(QLatin1Char('/'))) helpDirectory_ += QLatin1Char('/');
  guidePath_ = QDir(QCoreApplication::applicationDirPath())
                   .absoluteFilePath(QStringLiteral("../share/doc/velmorix/guide/index.html"));

  progress_->hide();
  stopButton_->hide();
  stopButton_->setEnabled(false);

  progressTimer_.setInterval(kProgressTimerInterval);
  connect(&progressTimer_, &QTimer::timeout, this, &MainWindow::ProgressTick);
  pendingTimer_.setSingleShot(true);
  pendingTimer_.setInterval(kPendingUpdateDelay);
  connect(&pendingTimer_, &QTimer::timeout, this, &MainWindow::ApplyPendingUpdates);
  countTimer_.setInterval(kCountInterval);
  connect(&countTimer_, &QTimer::timeout, this, &MainWindow::RefreshCounts);

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

  pane_ = new ReadingPane(*readers_, presenter_, listSplitter_);
  listSplitter_->addWidget(pane_);
  listSplitter_->setStretchFactor(0, 1);
  listSplitter_->setStretchFactor(1, 1);
  searchTimer_.setSingleShot(true);
  searchTimer_.setInterval(kSearchDelay);
  connect(&searchTimer_, &QTimer::timeout, this, &MainWindow::RunSearch);
  connect(searchBar_, &SearchBar::changed, this, [this] { searchTimer_.start(); });
  connect(searchBar_, &SearchBar::stopRequested, this, &MainWindow::StopContentSearch);
  connect(searchBar_->readingPane(), &QCheckBox::toggled, this, [this](bool on) {
    pane_->setVisible(on);
    if (on) ShowPreview();
  });
  previewTimer_.setSingleShot(true);
  previewTimer_.setInterval(kPreviewDelay);
  connect(&previewTimer_, &QTimer::timeout, this, &MainWindow::ShowPreview);
  connect(list_, &ItemList::currentRowChanged, this, [this] { previewTimer_.start(); });
  auto* find = new QShortcut(QKeySequence::Find, this);
  find->setContext(Qt::WindowShortcut);
  connect(find, &QShortcut::activated, this, &MainWindow::FocusSearch);
}

MainWindow::~MainWindow() {
  destroying_ = true;  // nothing pending may start or close anything now
  StopContentSearch();
  // The worker may be waiting on a call to this window: end it while its
  // calls can still be carried out, before the session goes.
  EndWorkerNow();
  // Item windows read the session's data: close them before it goes.
  readers_.reset();
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
    splitter_->hide();
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
    splitter_->show();
  });
}


void MainWindow::ClearViews() {
  OnUiThread([this] {
    list_->SetColumnSet(session::ColumnSet::Start);
    tree_->Clear();
    // A run is starting: the counts follow its lists from the beginning.
    counts_.Reset();
    countTimer_.start();
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
  // A failed recovery's message says why on a second line. The session
  // records how the run ended before it tells of it.
  Message shown = message;
  if (shown.detail.empty() && session_) {
    const std::string& path = session_->sessionPath();
    if (message.text.rfind("Found Condition :00", 0) == 0 && session_->failureCode() != 0) {
      shown.detail = FailureReason(path, session_->failureCode());
    } else if (session_->outcome() == session::RunOutcome::OpenFailed &&
               message.text == "Could not open file Try again") {
      shown.detail = OpenFailureReason(path);
    }
  }
  MessageAnswer answer = MessageAnswer::Ok;
  OnUiThread([this, &shown, &answer] {
    answer = presenter_.ShowMessage(shown.ownedByWindow ? this : nullptr, shown);
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
  countTimer_.stop();
  if (session_->state() != session::SessionState::Idle) RefreshCounts();
  // A question whether to stop has no more point once the scan has ended.
  if (stopQuestionOpen_) presenter_.CloseQuestion();
  if (session_->outcome() == session::RunOutcome::Stopped && !backPending_ && !exitConfirmed_ &&
      session_->state() != session::SessionState::Idle) {
    statusLine_->setText(QString::fromLatin1(kStoppedText));
    statusLine_->show();
  }
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
  countTimer_.stop();
  counts_.Reset();
  ResetSearch();
  readers_->CloseReaders();
  readers_->CloseWindows();
  session_->ReleaseSessionData();
  exitConfirmed_ = false;
  event->accept();
}

// A file dropped on the start page is recovered as if chosen there.
void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (session_->state() == session::SessionState::Idle && urls.size() == 1 && urls.front().isLocalFile()) {
    event->acceptProposedAction();
  }
}

void MainWindow::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (session_->state() != session::SessionState::Idle || urls.size() != 1 || !urls.front().isLocalFile()) return;
  event->acceptProposedAction();
  StartWith(urls.front().toLocalFile());
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  // On the results page: the whole recovery into one personal-folders file.
  QAction* pst = session_->state() != session::SessionState::Idle ? menu.addAction(QStringLiteral("Save as PST..."))
                                                                   : nullptr;
  menu.addSeparator();
  menu.addAction(aboutAction_);
  if (QAction* chosen = menu.exec(event->globalPos()); pst && chosen == pst) SaveAsPst(nullptr);
}

}  // namespace velmorix::ui
