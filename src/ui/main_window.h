// The program's main window: the path field, the picture buttons, the folder
// tree and the item list side by side (a splitter between them), the status
// line, the counters and the progress bar. Its first size is also its least;
// when it grows, the tree and the list grow with it and the controls below
// them keep their place at the bottom. It owns the recovery session and is
// the session's RecoveryView: worker calls are carried to the user-interface
// thread synchronously.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "ui/export_job.h"
#include "session/folder_counts.h"
#include "session/folder_list.h"
#include "session/recovery_view.h"
#include "session/session.h"

class QAction;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSplitter;
class QToolButton;
class QTreeWidgetItem;

namespace velmorix::ui {

class FolderTree;
class ItemList;
class ItemWindow;
class ReadingPane;
class SearchBar;
class Presenter;
class ReaderHub;

class MainWindow : public QDialog, public session::RecoveryView {
  Q_OBJECT

 public:
  static constexpr int kProgressTimerInterval = 100;  // ms
  // Delay before the worker's texts, progress and folders reach the window.
  static constexpr int kPendingUpdateDelay = 30;  // ms
  static constexpr int kProgressStep = 10;
  inline static const char* const kHelpFileName = "DER-IZO.chm";
  inline static const char* const kProductPage = "https://velmorix.example/";
  inline static const char* const kSelectFileTitle = "Select Ost file for recovery...";
  inline static const char* const kFileFilters = "OST and PST Files(*.ost *.pst);;OST File(*.ost);;All Files(*.*)";
  // The status line once a stopped scan has ended.
  inline static const char* const kStoppedText = "Stopped: the lists show what was found until then";
  // How often the folder counts in the tree follow a running scan.
  static constexpr int kCountInterval = 250;  // ms
  // A search runs this long after the last key, the pane follows the
  // selection this long after it last moved.
  static constexpr int kSearchDelay = 120;  // ms
  static constexpr int kPreviewDelay = 40;  // ms

  explicit MainWindow(Presenter& presenter, QWidget* parent = nullptr);
  ~MainWindow() override;

  // RecoveryView: callable from any thread; each call returns once the
  // user-interface thread has carried it out (texts and the progress
  // position from the worker: once any later call has returned).
  void SetControlText(int id, const std::string& text) override;
  void ShowControl(int id, bool shown) override;
  void EnableControl(int id, bool enabled) override;
  void SetProgressRange(int low, int high) override;
  void SetProgressPosition(int position) override;
  void StartProgressTimer() override;
  void StopProgressTimer() override;
  void ApplyFileSelectionLayout() override;
  void ApplyScanningLayout() override;
  void ClearViews() override;
  void InsertFolderPath(const std::string& path) override;
  void SetFolderKind(const std::string& path, session::ColumnSet set) override;
  session::MessageAnswer ShowMessage(const session::Message& message) override;

  // Commands.
  void Open();
  void SelectFile();
  void Start();
  // Writes `path` into the path field and starts its recovery (a file given
  // on the command line or dropped on the window).
  void StartWith(const QString& path);
  void Stop();
  void Back();
  // Runs the deep scan into the finished recovery's lists.
  void SearchDeletedItems();
  void Help();
  void About();
  void ProductPage();
  // The progress timer's tick: steps the bar by 10, starting again from the
  // bottom once past the top.
  void ProgressTick();

  // The control with the numeric identifier `id` (nullptr when unknown).
  QWidget* control(int id) const;
  FolderTree* folderTree() const { return tree_; }
  ItemList* itemList() const { return list_; }
  QProgressBar* progressBar() const { return progress_; }
  QLineEdit* pathField() const { return pathField_; }
  QLabel* statusLine() const { return statusLine_; }
  QSplitter* splitter() const { return splitter_; }
  const QTimer& progressTimer() const { return progressTimer_; }
  QAction* aboutAction() const { return aboutAction_; }
  session::RecoverySession& session() { return *session_; }
  // The item windows and the readers they use.
  ReaderHub& readers() { return *readers_; }
  const QString& helpDirectory() const { return helpDirectory_; }
  // The user guide Help opens: installed beside the program
  // (share/doc/velmorix/guide/index.html), or set by the program's start.
  const QString& guidePath() const { return guidePath_; }
  void SetGuidePath(const QString& path) { guidePath_ = path; }

  // Shows `item`'s content in the item list, as a selection change does.
  void FillItemList(QTreeWidgetItem* item);
  // Opens the item of a list row in an item window.
  void OpenItem(uint32_t nodeId);
  // Moves an item window opened from the list to the row `step` rows below
  // (above for a negative step) the one it shows.
  void StepItem(ItemWindow* window, int step);
  // Brings the tree's item counts up to date with the session's lists.
  void RefreshCounts();

  // The search as the search bar sets it: the current folder's rows
  // filtered, or the items of all folders in the list with their folder;
  // with "Search message text", bodies and attachment names read in the
  // background, their matches added as they are found.
  void RunSearch();
  // Stops the reading in the background; what was found stays.
  void StopContentSearch();
  bool contentSearchRunning() const { return searchCancel_ != nullptr; }
  // Ctrl+F: the search field gets the focus.
  void FocusSearch();
  SearchBar* searchBar() const { return searchBar_; }
  ReadingPane* readingPane() const { return pane_; }
  // The reading pane shows the list's current row.
  void ShowPreview();
  // "Export Folder..." for a tree item and "Save As..." for the selected
  // rows: each asks for a folder and starts an export with its progress
  // dialog.
  void ExportFolder(QTreeWidgetItem* item);
  void SaveSelectedAs();
  // "Save as PST...": the folder `item` and the folders below it (all of
  // the recovery when nullptr) into one personal-folders file.
  void SaveAsPst(QTreeWidgetItem* item);
  // The export started last (nullptr when none).
  ExportJob* currentExport() const { return export_; }

 signals:
  // Emitted on the user-interface thread after a worker has ended.
  void workerFinished();
  // Emitted on every progress-timer tick.
  void progressTicked();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void reject() override;

 private:
  template <typename F>
  void OnUiThread(F&& f);

  // Updates left by the worker, applied by one queued call: folders for the
  // tree in the order given (a path to insert, or a path's new kind), then
  // texts and the progress position.
  struct PendingUpdates {
    std::vector<std::pair<std::string, std::optional<session::ColumnSet>>> folders;
    std::map<int, std::string> texts;
    std::optional<int> position;
    bool posted = false;  // a queued call to apply them is on its way
  };
  template <typename F>
  void Defer(F&& update);
  void ApplyPendingUpdates();
  void ApplyText(int controlId, const std::string& text);

  // How a control follows the window's size: where it is placed at the
  // first size, and whether it moves with the right or bottom edge or grows.
  enum Anchor : int { kTopLeft = 0, kRight = 1, kBottom = 2, kGrow = 4 };
  struct Placement {
    QRect base;
    int anchor = kTopLeft;
  };

  void BuildControls();
  void BuildResultsArea();
  void Place(QWidget* widget, int id, int x, int y, int width, int height, int anchor = kTopLeft);
  void Relayout();
  void ApplyFolderFilter();
  void SearchAllFolders();
  void StartContentSearch(std::vector<uint32_t> nodeIds);
  void OnContentFound(int generation, const std::vector<uint32_t>& found, size_t done, bool finished);
  void ShowSearchCount(bool reading);
  // Ends any search state before the list shows something else.
  void ResetSearch();
  QRect DialogRect(int x, int y, int width, int height) const;
  QToolButton* PictureButton(const QString& picture, int id, int x, int y, int width, int height);
  // Stops a running worker and waits for it, carrying out its calls to the
  // window meanwhile (for the destructor, which cannot wait asynchronously).
  void EndWorkerNow();
  // Runs on the user-interface thread once a worker has ended: finishes a
  // pending Back, Exit or Start.
  void OnWorkerFinished();
  void FinishBack();
  session::MessageAnswer Ask(const char* text, session::MessageIcon icon, session::MessageButtons buttons);

  Presenter& presenter_;
  int baseX_ = 6;
  int baseY_ = 13;
  QString helpDirectory_;
  QString guidePath_;
  QString pathText_;
  bool exitPending_ = false;    // the exit question is open
  bool exitConfirmed_ = false;  // answered Yes, the exit is being finished
  bool backPending_ = false;    // Back waits for the worker to end
  bool startPending_ = false;   // Start waits for the previous worker to end
  bool stopQuestionOpen_ = false;  // "stop scanning?" is being asked
  bool destroying_ = false;
  int workerCallDepth_ = 0;     // worker calls being carried out on this thread

  QToolButton* openButton_ = nullptr;
  QToolButton* helpButton_ = nullptr;
  QToolButton* aboutButton_ = nullptr;
  QToolButton* buyButton_ = nullptr;
  QToolButton* logoButton_ = nullptr;
  QLineEdit* pathField_ = nullptr;
  QPushButton* selectFileButton_ = nullptr;
  QToolButton* nextButton_ = nullptr;
  FolderTree* tree_ = nullptr;
  ItemList* list_ = nullptr;
  QLabel* statusLine_ = nullptr;
  QLabel* folderCountLabel_ = nullptr;
  QLabel* folderCount_ = nullptr;
  QLabel* mailCountLabel_ = nullptr;
  QLabel* mailCount_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QSplitter* splitter_ = nullptr;       // the tree | the results
  QWidget* results_ = nullptr;          // the list with what goes with it
  SearchBar* searchBar_ = nullptr;
  QSplitter* listSplitter_ = nullptr;   // the list | the reading pane
  ReadingPane* pane_ = nullptr;
  QTimer searchTimer_;   // a search runs once the typing pauses
  QTimer previewTimer_;  // the pane follows the selection once it rests
  // The search being shown: its number (results of older ones are dropped),
  // whether the list shows found items of all folders, the reading in the
  // background and what it found so far.
  int searchGeneration_ = 0;
  bool showingResults_ = false;
  std::shared_ptr<std::atomic<bool>> searchCancel_;
  size_t shownCount_ = 0;
  size_t rowCount_ = 0;
  size_t toRead_ = 0;
  size_t readSoFar_ = 0;
  std::unordered_map<uint32_t, session::ListRow> pendingRows_;    // all folders: rows read for
  std::unordered_set<uint32_t> hiddenRowsRead_;  // this folder: the hidden rows whose text is read
  QToolButton* stopButton_ = nullptr;
  QToolButton* backButton_ = nullptr;
  QPushButton* deletedItemsButton_ = nullptr;
  QAction* aboutAction_ = nullptr;
  QPointer<ExportJob> export_;
  QTimer progressTimer_;
  QTimer pendingTimer_;  // applies the worker's deferred updates
  QTimer countTimer_;    // follows the folder counts while a scan runs
  session::FolderCounts counts_;
  std::unordered_map<int, QWidget*> controls_;
  std::unordered_map<QWidget*, Placement> placements_;
  QSize baseSize_;
  std::mutex pendingMutex_;
  PendingUpdates pending_;

  // Closed and destroyed in the destructor, before the session's data goes.
  std::unique_ptr<ReaderHub> readers_;
  // Last member: destroyed first, once the worker has ended.
  std::unique_ptr<session::RecoverySession> session_;
};

}  // namespace velmorix::ui
