// Everything the window shows modally or hands to the desktop: message
// boxes, the open-file and folder dialogs, the About box and the shell's "open" action.
// Tests replace it so that nothing blocks on a modal dialog.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QUrl>

#include "export/exporter.h"
#include "session/recovery_view.h"

class QWidget;

namespace velmorix::ui {

class Presenter {
 public:
  virtual ~Presenter() = default;

  // `owner` is nullptr for a message shown without an owner window.
  virtual session::MessageAnswer ShowMessage(QWidget* owner, const session::Message& message) = 0;
  // Closes an open Yes/No question as if answered No (its ShowMessage
  // returns No); nothing when none is open.
  virtual void CloseQuestion() = 0;
  // The chosen file's full path, or "" when the user cancels.
  virtual QString SelectOpenFile(QWidget* owner, const QString& title, const QString& filters) = 0;
  // A folder to write into, or "" when the user cancels.
  virtual QString SelectFolder(QWidget* owner, const QString& title) = 0;
  // The folder the list's "Save As..." writes into and, in `format`, the
  // form chosen in the same dialog: each kind in its own format (All) or
  // .msg files (Msg). Without a choice offered: a folder, each kind in its
  // own format.
  virtual QString SelectSaveFolder(QWidget* owner, const QString& title, exporting::Format& format) {
    format = exporting::Format::All;
    return SelectFolder(owner, title);
  }
  // A new file to save into, `name` offered; "" when the user cancels.
  virtual QString SelectSaveFile(QWidget* owner, const QString& title, const QString& name,
                                 const QString& filters) = 0;
  virtual void ShowAbout(QWidget* owner) = 0;
  // The desktop shell's "open" action; failures are not reported.
  virtual void OpenUrl(const QUrl& url) = 0;
};

// The real dialogs: QMessageBox, QFileDialog and QDesktopServices.
class QtPresenter : public Presenter {
 public:
  session::MessageAnswer ShowMessage(QWidget* owner, const session::Message& message) override;
  void CloseQuestion() override;
  QString SelectOpenFile(QWidget* owner, const QString& title, const QString& filters) override;
  QString SelectFolder(QWidget* owner, const QString& title) override;
  // The form chosen is remembered while the program runs.
  QString SelectSaveFolder(QWidget* owner, const QString& title, exporting::Format& format) override;
  QString SelectSaveFile(QWidget* owner, const QString& title, const QString& name, const QString& filters) override;
  void ShowAbout(QWidget* owner) override;
  void OpenUrl(const QUrl& url) override;

 private:
  QPointer<QMessageBox> question_;  // the Yes/No question open now
  exporting::Format saveFormat_ = exporting::Format::All;
};

// Name, version and description shown by the About box.
QString AboutText();

}  // namespace velmorix::ui
