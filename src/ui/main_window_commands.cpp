// The main window's commands: the buttons, the list's and the tree's
// commands, the item windows opened from the list.
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>
#include <QTreeWidgetItem>

#include "session/folder_list.h"
#include "session/listed_items.h"
#include "ui/export_job.h"
#include "ui/failure_reason.h"
#include "ui/folder_tree.h"
#include "ui/item_list.h"
#include "ui/item_window.h"
#include "ui/main_window.h"
#include "ui/presenter.h"
#include "ui/reader_hub.h"
#include "ui/search_bar.h"
#include "ui/text.h"

namespace velmorix::ui {

using session::Message;
using session::MessageAnswer;
using session::MessageButtons;
using session::MessageIcon;

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
  const std::string invalid = InvalidFileReason(PathToStd(pathText_));
  if (!invalid.empty()) {
    Message message;
    message.caption = session::kCaption;
    message.text = "Please select a valid file first";
    message.detail = invalid;
    ShowMessage(message);
    return;
  }
  // After a failed recovery the worker may still be finishing its last
  // window calls; one worker at a time, so start once it has ended.
  if (session_->WorkerRunning()) {
    startPending_ = true;
    return;
  }
  session_->WaitForWorker();
  ResetSearch();
  // The new run replaces the data open item windows read.
  readers_->CloseReaders();
  session_->StartRecovery(PathToStd(pathText_));
}

void MainWindow::StartWith(const QString& path) {
  if (session_->state() != session::SessionState::Idle) return;
  pathField_->setText(path);
  Start();
}

void MainWindow::Stop() {
  if (stopButton_->isHidden() || !stopButton_->isEnabled()) return;
  stopQuestionOpen_ = true;
  session_->RequestStop();
  stopQuestionOpen_ = false;
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
  countTimer_.stop();
  counts_.Reset();
  ResetSearch();
  readers_->CloseReaders();
  // The start page comes back with the path of the file just recovered.
  const QString path = session_->sessionPath().empty() ? pathText_ : ToQString(session_->sessionPath());
  session_->DiscardRecovery();
  pathText_ = path;
  pathField_->setText(path);
}

void MainWindow::Help() {
  // The user guide shipped with the program; the older help file in the
  // start-up directory otherwise.
  if (!guidePath_.isEmpty() && QFileInfo(guidePath_).isFile()) {
    presenter_.OpenUrl(QUrl::fromLocalFile(QFileInfo(guidePath_).absoluteFilePath()));
    return;
  }
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
  // A folder chosen in the tree is shown, also after a search of all folders.
  StopContentSearch();
  ++searchGeneration_;
  if (showingResults_) {
    showingResults_ = false;
    const QSignalBlocker quiet(searchBar_);
    searchBar_->SetScope(SearchBar::Scope::ThisFolder);
  }
  const session::ListContent content = session::FillItemList(session_->data(), tree_->PathOf(item));
  if (content.changes) {
    list_->Render(content);
  } else {
    // An item without a list of its own shows none, not the last folder's.
    list_->SetColumnSet(session::ColumnSet::Start);
  }
  if (content.toggleExpansion) item->setExpanded(!item->isExpanded());
  if (searchBar_->active()) ApplyFolderFilter();
  else searchBar_->count()->clear();
}

void MainWindow::RefreshCounts() {
  if (session_->state() == session::SessionState::Idle) return;
  // The lists may hold a folder whose tree item is still among the
  // worker's pending updates: those go first, and a count that still finds
  // no item is handed out again next time.
  ApplyPendingUpdates();
  for (const auto& [path, count] : counts_.Refresh(session_->data())) {
    if (!tree_->SetCount(path, count)) counts_.Retry(path);
  }
}

void MainWindow::OpenItem(uint32_t nodeId) {
  if (nodeId == 0 || session_->state() == session::SessionState::Idle) return;
  ItemWindow* window = readers_->OpenItem(nodeId);
  if (window == nullptr || window->property("stepsInList").toBool()) return;
  window->setProperty("stepsInList", true);
  connect(window, &ItemWindow::stepRequested, this, [this, window](int step) { StepItem(window, step); });
}

void MainWindow::StepItem(ItemWindow* window, int step) {
  if (window == nullptr || session_->state() == session::SessionState::Idle) return;
  const uint32_t shown = window->source().nodeId;
  const int at = list_->RowOf(shown);
  if (at < 0) return;  // the list shows another folder now
  // The next row in that direction that holds an item and is shown.
  for (int i = at + step; i >= 0 && i < list_->rowCount(); i += step) {
    const uint32_t id = list_->NodeIdAt(i);
    if (id == 0 || !list_->IsRowShown(i)) continue;
    list_->SetCurrentRow(i);
    const QRect geometry = window->geometry();
    OpenItem(id);
    if (ItemWindow* next = readers_->OpenItem(id); next != nullptr && next != window) {
      next->setGeometry(geometry);
      window->close();
    }
    return;
  }
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
  for (int row : list_->SelectedRows()) {
    if (const uint32_t id = list_->NodeIdAt(row)) rows.push_back({id, list_->PictureAt(row)});
  }
  if (rows.empty()) return;
  exporting::Format format = exporting::Format::All;
  const QString dir = presenter_.SelectSaveFolder(this, QStringLiteral("Save As"), format);
  if (dir.isEmpty()) return;
  if (export_) export_->deleteLater();
  export_ = ExportJob::Start(*readers_, presenter_, this, RowsExport(rows), dir, format);
}

void MainWindow::SaveAsPst(QTreeWidgetItem* item) {
  if (session_->state() == session::SessionState::Idle) return;
  if (export_ && !export_->finished()) return;
  const session::TreeItem* folder = item ? tree_->ModelItem(item) : nullptr;
  const QString name = QFileInfo(QString::fromLocal8Bit(session_->sessionPath())).completeBaseName();
  const QString file = presenter_.SelectSaveFile(this, QStringLiteral("Save as PST"),
                                                 (name.isEmpty() ? QStringLiteral("Recovered") : name) + ".pst",
                                                 QStringLiteral("Personal folders (*.pst)"));
  if (file.isEmpty()) return;
  if (export_) export_->deleteLater();
  export_ = ExportJob::StartPst(*readers_, presenter_, this, session::TreeFolders(tree_->model(), session_->data(), folder),
                                session::ListedFolders(tree_->model(), session_->data(), folder), file);
}

}  // namespace velmorix::ui
