#include "ui/presenter.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>

#include "ui/pictures.h"
#include "ui/text.h"

#ifndef VELMORIX_VERSION
#define VELMORIX_VERSION "0.0.0"
#endif

namespace velmorix::ui {

using session::MessageAnswer;
using session::MessageButtons;
using session::MessageIcon;

MessageAnswer QtPresenter::ShowMessage(QWidget* owner, const session::Message& message) {
  QMessageBox box(owner);
  box.setWindowTitle(ToQString(message.caption));
  box.setText(ToQString(message.text));
  box.setTextFormat(Qt::PlainText);
  switch (message.icon) {
    case MessageIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    case MessageIcon::Information: box.setIcon(QMessageBox::Information); break;
    case MessageIcon::Question: box.setIcon(QMessageBox::Question); break;
  }
  if (message.buttons == MessageButtons::YesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
  const int answer = box.exec();
  if (message.buttons == MessageButtons::YesNo) {
    return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
  }
  return MessageAnswer::Ok;
}

QString QtPresenter::SelectOpenFile(QWidget* owner, const QString& title, const QString& filters) {
  QFileDialog dialog(owner, title, QString(), filters);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setDefaultSuffix(QString());
  if (dialog.exec() != QDialog::Accepted) return QString();
  const QStringList files = dialog.selectedFiles();
  return files.isEmpty() ? QString() : files.front();
}

QString QtPresenter::SelectFolder(QWidget* owner, const QString& title) {
  return QFileDialog::getExistingDirectory(owner, title, QString(), QFileDialog::ShowDirsOnly);
}

QString QtPresenter::SelectSaveFile(QWidget* owner, const QString& title, const QString& suggested,
                                   const QString& filters) {
  // An existing file is never replaced: the writer refuses it, so the dialog does not ask.
  return QFileDialog::getSaveFileName(owner, title, suggested, filters, nullptr, QFileDialog::DontConfirmOverwrite);
}

void QtPresenter::ShowAbout(QWidget* owner) {
  QMessageBox box(owner);
  box.setWindowTitle(QStringLiteral("About Velmorix"));
  box.setIconPixmap(Logo(QSize(96, 48)));
  box.setTextFormat(Qt::PlainText);
  box.setText(AboutText());
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
}

void QtPresenter::OpenUrl(const QUrl& url) { QDesktopServices::openUrl(url); }

QString AboutText() {
  return QStringLiteral(
      "Velmorix %1\n\n"
      "Recovers folders, mails, contacts, calendar entries, tasks, notes and "
      "journal entries from damaged offline-folders (.ost) and personal-folders "
      "(.pst) files. The file is only read, never changed.")
      .arg(QStringLiteral(VELMORIX_VERSION));
}

}  // namespace velmorix::ui
