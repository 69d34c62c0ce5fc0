// The main window's search and reading pane: the search bar's query over
// the current folder's rows or over all folders, the reading of bodies and
// attachment names on a pool thread, and the pane following the selection.
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPointer>
#include <QSplitter>
#include <QThreadPool>
#include <QToolButton>
#include <QTreeWidgetItem>

#include <chrono>

#include "search/content_search.h"
#include "search/listed_search.h"
#include "session/session_data.h"
#include "ui/folder_tree.h"
#include "ui/item_list.h"
#include "ui/main_window.h"
#include "ui/reader_hub.h"
#include "ui/reader_slot.h"
#include "ui/reading_pane.h"
#include "ui/search_bar.h"
#include "ui/text.h"

namespace velmorix::ui {

namespace {

QString Count(size_t n) { return QLocale(QLocale::English).toString(static_cast<qulonglong>(n)); }

// A found row in the columns of the results: a mail's own cells, another
// item's name or subject and date, then its folder ("Personal Folders\Inbox").
session::ListRow ResultRow(const search::RowInList& hit, bool ansi) {
  session::ListRow row;
  row.picture = hit.row.picture;
  row.nodeId = hit.row.nodeId;
  row.date = hit.row.date;
  if (hit.row.cellCount == 4) {
    for (int i = 0; i < 4; ++i) row.cells.emplace_back(hit.row.cells[i]);
  } else {
    char buffer[32];
    row.cells = {"", hit.row.cellCount > 0 ? std::string(hit.row.cells[0]) : std::string(), "",
                 std::string(session::DateText(hit.row.date, buffer))};
  }
  std::string folder = ansi ? session::Cp1252ToUtf8(hit.folder) : hit.folder;
  if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  row.cells.push_back(std::move(folder));
  return row;
}

}  // namespace

void MainWindow::FocusSearch() {
  if (splitter_->isHidden()) return;
  searchBar_->field()->setFocus(Qt::ShortcutFocusReason);
  searchBar_->field()->selectAll();
}

void MainWindow::ResetSearch() {
  StopContentSearch();
  ++searchGeneration_;
  searchTimer_.stop();
  showingResults_ = false;
  pendingRows_.clear();
  hiddenRowsRead_.clear();
  {
    const QSignalBlocker quiet(searchBar_);
    searchBar_->Clear();
    searchBar_->SetScope(SearchBar::Scope::ThisFolder);
  }
  searchBar_->count()->clear();
  pane_->Clear();
}

void MainWindow::RunSearch() {
  StopContentSearch();
  ++searchGeneration_;
  if (session_->state() == session::SessionState::Idle) return;
  if (searchBar_->scope() == SearchBar::Scope::AllFolders && searchBar_->active()) {
    SearchAllFolders();
    return;
  }
  if (showingResults_) {
    // Back from the results of all folders to the folder selected.
    showingResults_ = false;
    if (QTreeWidgetItem* current = tree_->currentItem()) {
      const session::ListContent content = session::FillItemList(session_->data(), tree_->PathOf(current));
      if (content.changes) list_->Render(content);
      else list_->SetColumnSet(session::ColumnSet::Start);
    } else {
      list_->SetColumnSet(session::ColumnSet::Start);
    }
  }
  ApplyFolderFilter();
}

void MainWindow::ApplyFolderFilter() {
  hiddenRowsRead_.clear();
  rowCount_ = static_cast<size_t>(list_->rowCount());
  if (!searchBar_->active()) {
    shownCount_ = static_cast<size_t>(list_->FilterRows([](int) { return true; }));
    searchBar_->count()->clear();
    return;
  }
  const search::Matcher matcher(searchBar_->query());
  std::vector<uint32_t> toRead;
  const int columns = list_->columnCount();
  shownCount_ = static_cast<size_t>(list_->FilterRows([&](int row) {
    if (!matcher.InRange(list_->DateAt(row))) return false;
    // Any column's text.
    for (int i = 0; i < columns; ++i) {
      if (list_->IsDateColumn(i)) continue;
      if (matcher.Contains(list_->Text(row, i).toStdString())) return true;
    }
    if (matcher.ReadsContent()) {
      const uint32_t id = list_->NodeIdAt(row);
      if (id != 0) {
        toRead.push_back(id);
        hiddenRowsRead_.insert(id);
      }
    }
    return false;
  }));
  ShowSearchCount(false);
  if (!toRead.empty()) StartContentSearch(std::move(toRead));
}

void MainWindow::SearchAllFolders() {
  showingResults_ = true;
  pendingRows_.clear();
  hiddenRowsRead_.clear();
  const search::Matcher matcher(searchBar_->query());
  const bool ansi = session_->data().variant() == store::Variant::Ansi;
  session::ListContent content;
  content.changes = true;
  content.columnSet = session::ColumnSet::Mail;
  std::vector<uint32_t> toRead;
  search::ForEachRow(tree_->model(), session_->data(), matcher, [&](const search::RowInList& hit) {
    if (hit.headlineMatch) {
      content.rows.push_back(ResultRow(hit, ansi));
    } else {
      toRead.push_back(hit.row.nodeId);
      pendingRows_.emplace(hit.row.nodeId, ResultRow(hit, ansi));
    }
    return true;
  });
  list_->Render(content, {QStringLiteral("Folder")});
  shownCount_ = content.rows.size();
  rowCount_ = 0;
  ShowSearchCount(false);
  if (!toRead.empty()) StartContentSearch(std::move(toRead));
}

void MainWindow::ShowSearchCount(bool reading) {
  QString text;
  if (showingResults_ || rowCount_ == 0) {
    text = Count(shownCount_) + (shownCount_ == 1 ? QStringLiteral(" found") : QStringLiteral(" found"));
  } else {
    text = Count(shownCount_) + QStringLiteral(" of ") + Count(rowCount_) + QStringLiteral(" shown");
  }
  if (reading) text += QStringLiteral(", reading ") + Count(readSoFar_) + QStringLiteral(" of ") + Count(toRead_) + QStringLiteral("...");
  searchBar_->count()->setText(text);
  searchBar_->stopButton()->setVisible(reading);
}

void MainWindow::StartContentSearch(std::vector<uint32_t> nodeIds) {
  std::shared_ptr<ReaderSlot> slot = readers_->OpenReader();
  if (!slot) return;
  searchCancel_ = std::make_shared<std::atomic<bool>>(false);
  toRead_ = nodeIds.size();
  readSoFar_ = 0;
  ShowSearchCount(true);
  auto matcher = std::make_shared<const search::Matcher>(searchBar_->query());
  const QPointer<MainWindow> self(this);
  const int generation = searchGeneration_;
  readers_->pool().start([self, generation, slot, matcher, cancel = searchCancel_, ids = std::move(nodeIds)] {
    using Clock = std::chrono::steady_clock;
    std::vector<uint32_t> found;
    size_t done = 0;
    auto last = Clock::now();
    auto post = [&](bool finished) {
      QMetaObject::invokeMethod(
          self.data(),
          [self, generation, found, done, finished] {
            if (self) self->OnContentFound(generation, found, done, finished);
          },
          Qt::QueuedConnection);
      found.clear();
      last = Clock::now();
    };
    for (uint32_t id : ids) {
      if (cancel->load(std::memory_order_acquire) || !self) return;
      bool hit = false;
      // One item at a time: closing the reader (Back, a new Start) waits for one item at most.
      if (!slot->Use([&](content::ItemReader& reader) { hit = search::ContentMatches(*matcher, reader, id); })) return;
      ++done;
      if (hit) found.push_back(id);
      if (Clock::now() - last > std::chrono::milliseconds(100)) post(false);
    }
    post(true);
  });
}

void MainWindow::OnContentFound(int generation, const std::vector<uint32_t>& found, size_t done, bool finished) {
  if (generation != searchGeneration_) return;
  readSoFar_ = done;
  if (showingResults_) {
    std::vector<session::ListRow> rows;
    for (uint32_t id : found) {
      auto it = pendingRows_.find(id);
      if (it != pendingRows_.end()) rows.push_back(std::move(it->second));
    }
    list_->AppendRows(rows);
    shownCount_ += rows.size();
  } else {
    std::vector<uint32_t> rows;
    for (uint32_t id : found) {
      if (hiddenRowsRead_.count(id) != 0) rows.push_back(id);
    }
    shownCount_ += static_cast<size_t>(list_->ShowRowsOf(rows));
  }
  if (finished) {
    searchCancel_.reset();
    pendingRows_.clear();
    hiddenRowsRead_.clear();
  }
  ShowSearchCount(!finished);
}

void MainWindow::StopContentSearch() {
  if (!searchCancel_) return;
  searchCancel_->store(true, std::memory_order_release);
  searchCancel_.reset();
  ++searchGeneration_;  // what is still on its way is dropped
  ShowSearchCount(false);
}

void MainWindow::ShowPreview() {
  if (pane_->isHidden() || session_->state() == session::SessionState::Idle) return;
  const int row = list_->currentRow();
  pane_->ShowItem(row < 0 ? 0 : list_->NodeIdAt(row));
}

}  // namespace velmorix::ui
