#include "ui/export_job.h"

#include <QCoreApplication>
#include <QProgressDialog>
#include <QWidget>

#include <algorithm>

#include "export/pst_convert.h"
#include "session/folder_tree.h"
#include "session/listed_items.h"
#include "session/session_data.h"
#include "ui/item_text.h"
#include "ui/presenter.h"
#include "ui/reader_hub.h"
#include "ui/reader_slot.h"
#include "ui/text.h"

namespace velmorix::ui {

namespace {

// Failures named in the final message; the rest are counted.
constexpr size_t kFailuresNamed = 10;

void Tell(Presenter& presenter, QWidget* owner, const QString& text) {
  session::Message message;
  message.caption = session::kCaption;
  message.text = text.toStdString();
  message.icon = session::MessageIcon::Information;
  message.buttons = session::MessageButtons::Ok;
  presenter.ShowMessage(owner, message);
}

QString Items(size_t n) { return n == 1 ? QStringLiteral("1 item") : QStringLiteral("%1 items").arg(n); }
QString Files(size_t n) { return n == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(n); }

QString Summary(const exporting::ExportResult& r, size_t total, const QString& destination) {
  QString text;
  if (!r.error.empty()) {
    text = QStringLiteral("The export failed: %1.\n\n").arg(ToQString(r.error));
  } else if (r.cancelled) {
    text = QStringLiteral("The export was stopped.\n\n");
  }
  text += QStringLiteral("%1 of %2 written to %3 (%4, %5).")
              .arg(Items(r.itemsWritten))
              .arg(total)
              .arg(destination, Files(r.filesWritten), SizeText(r.bytesWritten));
  if (r.itemsFailed > 0) {
    text += QStringLiteral("\n\n%1 could not be read:").arg(Items(r.itemsFailed));
    for (size_t i = 0; i < r.failures.size() && i < kFailuresNamed; ++i) {
      const exporting::ItemProblem& p = r.failures[i];
      const QString what = p.subject.empty() ? QStringLiteral("item 0x%1").arg(p.nodeId, 0, 16)
                                             : QStringLiteral("\"%1\"").arg(ToQString(p.subject));
      text += QStringLiteral("\n%1, %2: %3").arg(ToQString(p.folder), what, ToQString(p.reason));
    }
    if (r.failures.size() > kFailuresNamed) {
      text += QStringLiteral("\nand %1 more.").arg(r.failures.size() - kFailuresNamed);
    }
  }
  if (!r.warnings.empty()) {
    text += QStringLiteral("\n\n%1 written without some part (an attachment that cannot be read).")
                .arg(Items(r.warnings.size()));
  }
  return text;
}

}  // namespace

ExportJob::ExportJob(Presenter& presenter, QWidget* owner, size_t total, QString destination)
    : QObject(owner), presenter_(presenter), owner_(owner), total_(total), destination_(std::move(destination)) {}

ExportJob* ExportJob::Start(ReaderHub& hub, Presenter& presenter, QWidget* owner,
                            std::vector<exporting::FolderItems> folders, const QString& destination,
                            exporting::Format format) {
  const size_t total = exporting::CountItems(folders, format);
  exporting::ExportOptions options;
  options.format = format;
  options.destination = PathToStd(destination);
  return Launch(hub, presenter, owner, total, destination,
                [folders = std::move(folders), options](content::ItemReader& r, const exporting::ProgressCallback& p) {
                  return exporting::Export(r, folders, options, p);
                });
}

ExportJob* ExportJob::StartPst(ReaderHub& hub, Presenter& presenter, QWidget* owner,
                               std::vector<exporting::TreeFolder> tree, std::vector<exporting::FolderItems> folders,
                               const QString& destination) {
  const size_t total = exporting::CountItems(folders, exporting::Format::Pst);
  exporting::PstOptions options;
  options.destination = PathToStd(destination);
  return Launch(hub, presenter, owner, total, destination,
                [tree = std::move(tree), folders = std::move(folders), options](content::ItemReader& r,
                                                                               const exporting::ProgressCallback& p) {
                  const exporting::PstResult pst = exporting::ConvertToPst(r, tree, folders, options, p);
                  exporting::ExportResult result;
                  result.itemsWritten = pst.itemsWritten;
                  result.itemsFailed = pst.itemsFailed;
                  result.filesWritten = pst.error.empty() && !pst.cancelled ? 1 : 0;
                  result.bytesWritten = result.filesWritten ? pst.bytesWritten : 0;
                  result.cancelled = pst.cancelled;
                  result.error = pst.error;
                  result.failures = pst.failures;
                  result.warnings = pst.warnings;
                  return result;
                });
}

ExportJob* ExportJob::Launch(ReaderHub& hub, Presenter& presenter, QWidget* owner, size_t total,
                             const QString& destination, Work work) {
  if (total == 0) {
    Tell(presenter, owner, QStringLiteral("There is nothing to export here."));
    return nullptr;
  }
  std::string error;
  std::shared_ptr<ReaderSlot> reader = hub.OpenReader(&error);
  if (!reader) {
    Tell(presenter, owner, QStringLiteral("Nothing can be exported: %1.").arg(ToQString(error)));
    return nullptr;
  }

  auto* job = new ExportJob(presenter, owner, total, destination);
  job->cancel_ = [reader] { reader->RequestStop(); };
  job->dialog_ = new QProgressDialog(QStringLiteral("Exporting..."), QStringLiteral("Cancel"), 0,
                                     static_cast<int>(std::min<size_t>(total, INT32_MAX)), owner);
  job->dialog_->setWindowTitle(QString::fromLatin1(session::kCaption));
  job->dialog_->setWindowModality(Qt::WindowModal);
  job->dialog_->setMinimumDuration(0);
  job->dialog_->setAutoClose(false);
  job->dialog_->setAutoReset(false);
  job->dialog_->setValue(0);
  connect(job->dialog_, &QProgressDialog::canceled, job, &ExportJob::Cancel);
  job->timer_.setInterval(100);
  connect(&job->timer_, &QTimer::timeout, job, &ExportJob::ShowProgress);
  job->timer_.start();
  job->dialog_->show();

  const QPointer<ExportJob> self(job);
  hub.pool().start([self, reader, shared = job->shared_, work = std::move(work)] {
    auto result = std::make_shared<exporting::ExportResult>();
    const bool used = reader->Use([&](content::ItemReader& r) {
      *result = work(r, [&](const exporting::Progress& p) {
        shared->itemsDone.store(p.itemsDone, std::memory_order_relaxed);
        shared->bytesWritten.store(p.bytesWritten, std::memory_order_relaxed);
        return !reader->stopRequested();
      });
    });
    if (!used) {
      result->cancelled = true;
      result->error = "the recovery it came from has been closed";
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, result] {
          if (self) self->Finish(std::move(*result));
        },
        Qt::QueuedConnection);
  });
  return job;
}

void ExportJob::Cancel() {
  if (finished_ || !cancel_) return;
  cancel_();
  if (dialog_) dialog_->setLabelText(QStringLiteral("Stopping..."));
}

void ExportJob::ShowProgress() {
  if (!dialog_ || finished_) return;
  const size_t done = shared_->itemsDone.load(std::memory_order_relaxed);
  dialog_->setValue(static_cast<int>(std::min<size_t>(done, INT32_MAX)));
  if (!dialog_->wasCanceled()) {
    dialog_->setLabelText(QStringLiteral("Exporting: %1 of %2 items, %3")
                              .arg(done)
                              .arg(total_)
                              .arg(SizeText(shared_->bytesWritten.load(std::memory_order_relaxed))));
  }
}

void ExportJob::Finish(exporting::ExportResult result) {
  finished_ = true;
  timer_.stop();
  result_ = std::move(result);
  if (dialog_) {
    dialog_->hide();
    dialog_->deleteLater();
  }
  summary_ = Summary(result_, total_, destination_);
  Tell(presenter_, owner_, summary_);
  emit done();
}

std::vector<exporting::FolderItems> FolderExport(const session::FolderTreeModel& tree,
                                                 const session::SessionData& data, const session::TreeItem& folder) {
  std::vector<exporting::FolderItems> folders = session::ListedFolders(tree, data, &folder);
  // Directories start at the chosen folder, not at the top of the tree.
  size_t above = 0;
  for (const session::TreeItem* p = folder.parent; p != nullptr; p = p->parent) ++above;
  for (exporting::FolderItems& f : folders) {
    f.path.erase(f.path.begin(), f.path.begin() + static_cast<std::ptrdiff_t>(std::min(above, f.path.size())));
  }
  return folders;
}

std::vector<exporting::FolderItems> RowsExport(const std::vector<SelectedRow>& rows) {
  std::vector<exporting::FolderItems> out;
  for (const SelectedRow& row : rows) {
    const exporting::ListKind kind = session::KindOfRow(row.picture);
    auto it = std::find_if(out.begin(), out.end(), [&](const exporting::FolderItems& f) { return f.kind == kind; });
    if (it == out.end()) {
      out.push_back({{}, kind, {}});
      it = out.end() - 1;
    }
    it->nodeIds.push_back(row.nodeId);
  }
  return out;
}

}  // namespace velmorix::ui
