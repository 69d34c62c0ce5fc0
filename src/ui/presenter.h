// Everything the window shows modally or hands to the desktop: message
// boxes, the open-file and folder dialogs, the About box and the shell's "open" action.
// Tests replace it so that nothing blocks on a modal dialog.
#pragma once

#include <QString>
#include <QUrl>

#include "session/recovery_view.h"

class QWidget;

namespace velmorix::ui {

class Presenter {
 public:
  virtual ~Presenter() = default;

  // `owner` is nullptr for a message shown without an owner window.
  virtual session::MessageAnswer ShowMessage(QWidget* owner, const session::Message& message) = 0;
  // The chosen file's full path, or "" when the user cancels.
  virtual QString SelectOpenFile(QWidget* owner, const QString& title, const QString& filters) = 0;
  // A folder to write into, or "" when the user cancels.
  virtual QString SelectFolder(QWidget* owner, const QString& title) = 0;
  // A file to write, offered as `suggested`, or "" when the user cancels.
  virtual QString SelectSaveFile(QWidget* owner, const QString& title, const QString& suggested,
                                 const QString& filters) = 0;
  virtual void ShowAbout(QWidget* owner) = 0;
  // The desktop shell's "open" action; failures are not reported.
  virtual void OpenUrl(const QUrl& url) = 0;
};

// The real dialogs: QMessageBox, QFileDialog and QDesktopServices.
class QtPresenter : public Presenter {
 public:
  session::MessageAnswer ShowMessage(QWidget* owner, const session::Message& message) override;
  QString SelectOpenFile(QWidget* owner, const QString& title, const QString& filters) override;
  QString SelectFolder(QWidget* owner, const QString& title) override;
  QString SelectSaveFile(QWidget* owner, const QString& title, const QString& suggested,
                         const QString& filters) override;
  void ShowAbout(QWidget* owner) override;
  void OpenUrl(const QUrl& url) override;
};

// Name, version and description shown by the About box.
QString AboutText();

}  // namespace velmorix::ui
