#include "ui/presenter.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>

#include <algorithm>

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
  QString text = ToQString(message.text);
  if (!message.detail.empty()) text += QLatin1Char('\n') + ToQString(message.detail);
  box.setText(text);
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
    question_ = &box;
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
  const int answer = box.exec();
  if (message.buttons == MessageButtons::YesNo) {
    return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
  }
  return MessageAnswer::Ok;
}

void QtPresenter::CloseQuestion() {
  if (question_) question_->done(QMessageBox::No);
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

QString QtPresenter::SelectSaveFolder(QWidget* owner, const QString& title, exporting::Format& format) {
  QFileDialog dialog(owner, title);
  dialog.setFileMode(QFileDialog::Directory);
  // Qt's own dialog, which takes the form choice below its fields.
  dialog.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  auto* choice = new QComboBox(&dialog);
  choice->setObjectName(QStringLiteral("saveForm"));
  choice->addItem(QStringLiteral("Each kind in its own format (.eml, .vcf, .ics, .txt)"),
                  static_cast<int>(exporting::Format::All));
  choice->addItem(QStringLiteral("Outlook item files (.msg)"), static_cast<int>(exporting::Format::Msg));
  choice->setCurrentIndex(saveFormat_ == exporting::Format::Msg ? 1 : 0);
  if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
    const int row = grid->rowCount();
    grid->addWidget(new QLabel(QStringLiteral("Save as:"), &dialog), row, 0);
    grid->addWidget(choice, row, 1, 1, std::max(1, grid->columnCount() - 1));
  }
  if (dialog.exec() != QDialog::Accepted) return QString();
  saveFormat_ = static_cast<exporting::Format>(choice->currentData().toInt());
  format = saveFormat_;
  const QStringList dirs = dialog.selectedFiles();
  return dirs.isEmpty() ? QString() : dirs.front();
}

QString QtPresenter::SelectSaveFile(QWidget* owner, const QString& title, const QString& name,
                                    const QString& filters) {
  QFileDialog dialog(owner, title, name, filters);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  // An existing file is never replaced: the writer refuses it, so the dialog does not ask.
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  dialog.setDefaultSuffix(QFileInfo(name).suffix());
  if (dialog.exec() != QDialog::Accepted) return QString();
  const QStringList files = dialog.selectedFiles();
  return files.isEmpty() ? QString() : files.front();
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
