// Exports from the window: a folder with the folders below it ("Export
// Folder..." in the tree's menu) or the selected rows of the item list
// ("Save As..."), each kind of item in its own format (mails as .eml,
// contacts as vCard, calendar entries, tasks and journal entries as
// iCalendar, notes as text) or every item as a .msg file. The export runs on a pool thread with a reader
// of its own; a progress dialog shows it and can stop it, and a message
// gives the counts at the end.
#pragma once

#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>
#include <vector>

#include "export/exporter.h"

class QWidget;

namespace velmorix::session {
class FolderTreeModel;
class SessionData;
struct TreeItem;
}  // namespace velmorix::session

namespace velmorix::ui {

class Presenter;
class ReaderHub;

class ExportJob : public QObject {
  Q_OBJECT

 public:
  // Starts exporting `folders` into `destination`, with a progress dialog
  // over `owner` (the job's parent). nullptr when there is nothing to
  // export or no reader can be opened; the user is told why.
  static ExportJob* Start(ReaderHub& hub, Presenter& presenter, QWidget* owner,
                          std::vector<exporting::FolderItems> folders, const QString& destination,
                          exporting::Format format = exporting::Format::All);
  // Starts converting `tree` with the items of `folders` into the
  // personal-folders file `destination` ("Save as PST...").
  static ExportJob* StartPst(ReaderHub& hub, Presenter& presenter, QWidget* owner,
                             std::vector<exporting::TreeFolder> tree, std::vector<exporting::FolderItems> folders,
                             const QString& destination);

  // Stops the export after the item being written; what is written stays.
  void Cancel();
  bool finished() const { return finished_; }
  // Valid once finished.
  const exporting::ExportResult& result() const { return result_; }
  QProgressDialog* dialog() const { return dialog_; }
  size_t itemsTotal() const { return total_; }
  // The message shown at the end.
  QString summary() const { return summary_; }

 signals:
  void done();

 private:
  struct Shared {
    std::atomic<size_t> itemsDone{0};
    std::atomic<uint64_t> bytesWritten{0};
  };
  using Work = std::function<exporting::ExportResult(content::ItemReader& reader,
                                                     const exporting::ProgressCallback& progress)>;
  static ExportJob* Launch(ReaderHub& hub, Presenter& presenter, QWidget* owner, size_t total,
                           const QString& destination, Work work);
  ExportJob(Presenter& presenter, QWidget* owner, size_t total, QString destination);
  void ShowProgress();
  void Finish(exporting::ExportResult result);

  Presenter& presenter_;
  QWidget* owner_;
  size_t total_ = 0;
  QString destination_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::function<void()> cancel_;
  QPointer<QProgressDialog> dialog_;
  QTimer timer_;
  bool finished_ = false;
  exporting::ExportResult result_;
  QString summary_;
};

// What "Export Folder..." writes for the tree item `folder`: the items of
// the folder and of the folders below it, each once, grouped by kind, in
// directories named after the folders from `folder` down.
std::vector<exporting::FolderItems> FolderExport(const session::FolderTreeModel& tree,
                                                 const session::SessionData& data, const session::TreeItem& folder);

// A list row as "Save As..." takes it.
struct SelectedRow {
  uint32_t nodeId = 0;
  int picture = 0;  // the row's picture, which says the item's kind
};
// What "Save As..." writes: the rows' items, each in its kind's format,
// into the destination itself.
std::vector<exporting::FolderItems> RowsExport(const std::vector<SelectedRow>& rows);

}  // namespace velmorix::ui
