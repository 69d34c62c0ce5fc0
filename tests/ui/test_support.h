// Shared pieces of the window tests: a presenter that records instead of
// showing modal dialogs, a window whose worker-side calls can be observed,
// and a small mailbox written with the store builder.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "samples.h"
#include "ui/main_window.h"
#include "ui/presenter.h"

namespace velmorix::ui::testing {

class FakePresenter : public Presenter {
 public:
  session::MessageAnswer ShowMessage(QWidget* owner, const session::Message& message) override;
  QString SelectOpenFile(QWidget* owner, const QString& title, const QString& filters) override;
  void CloseQuestion() override { ++questionsClosed; }
  QString SelectFolder(QWidget*, const QString& title) override {
    ++folderDialogs;
    folderDialogTitle = title;
    return folderToChoose;
  }
  QString SelectSaveFolder(QWidget* owner, const QString& title, exporting::Format& format) override {
    format = formatToChoose;
    return SelectFolder(owner, title);
  }
  QString SelectSaveFile(QWidget*, const QString& title, const QString& name, const QString&) override {
    ++saveDialogs;
    saveDialogTitle = title;
    saveNameOffered = name;
    suggestedName = name;
    return saveFileToChoose;
  }
  void ShowAbout(QWidget*) override { ++aboutShown; }
  void OpenUrl(const QUrl& url) override { urls.append(url); }
  exporting::Format formatToChoose = exporting::Format::All;
  QString saveFileToChoose;  // "" = the user cancels
  QString saveDialogTitle, saveNameOffered;
  int saveDialogs = 0;

  QStringList texts() const;

  struct Shown {
    session::Message message;
    bool owned = false;
  };
  std::vector<Shown> messages;
  // Answer to a Yes/No question; OK messages are always answered Ok.
  session::MessageAnswer yesNoAnswer = session::MessageAnswer::Yes;
  // Runs while a message is "open" (on the user-interface thread).
  std::function<void(const session::Message&)> onMessage;

  QString fileToChoose;  // "" = the user cancels
  int fileDialogs = 0;
  QString fileDialogTitle;
  QString fileDialogFilters;
  QString folderToChoose;  // "" = the user cancels
  int folderDialogs = 0;
  QString folderDialogTitle;
  QString suggestedName;
  int aboutShown = 0;
  int questionsClosed = 0;
  QList<QUrl> urls;
};

// A window whose folder insertions can run test code on the worker thread.
class ObservedWindow : public MainWindow {
 public:
  using MainWindow::MainWindow;
  void InsertFolderPath(const std::string& path) override {
    MainWindow::InsertFolderPath(path);
    if (onFolderInserted) onFolderInserted(path);
  }
  std::function<void(const std::string&)> onFolderInserted;  // worker thread
};

// Writes the test mailbox into `dir` and returns its path: Inbox with three
// mails (one with an attachment, one without sender and subject), Sent Items
// with a subfolder, Contacts, Tasks (three, in order "Task 1".."Task 3"),
// Journal, Notes and Calendar with one or two entries each.
QString WriteTestMailbox(const QString& dir, bool unicode = true);

// Waits (dispatching events) until the window's worker has ended.
bool WaitForWorker(MainWindow& window, int timeoutMs = 20000);

QString SamplePath(const char* name);

}  // namespace velmorix::ui::testing
