// Exports from the window: "Export Folder..." on a tree item, "Save As..."
// on selected rows, a cancelled export, and Back during an export.
#include <QDirIterator>
#include <QFile>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSemaphore>
#include <QThreadPool>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "export/exporter.h"
#include "storebuilder/mailbox.h"
#include "test_support.h"
#include "ui/export_job.h"
#include "ui/folder_tree.h"
#include "ui/item_list.h"
#include "ui/reader_hub.h"

using namespace velmorix;
using namespace velmorix::ui;
using namespace velmorix::ui::testing;
namespace sb = velmorix::storebuilder;

namespace {

constexpr int kInboxMails = 30;

// Files below `dir` by their path relative to it, with their bytes.
std::map<QString, QByteArray> Files(const QString& dir) {
  std::map<QString, QByteArray> out;
  QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    QFile f(path);
    if (f.open(QIODevice::ReadOnly)) out[QDir(dir).relativeFilePath(path)] = f.readAll();
  }
  return out;
}

// Two exports of one message are the same but for their random MIME
// boundaries, which are of one length: a whole file has the full one's size
// and headers.
bool Same(const QByteArray& full, const QByteArray& other) {
  const qsizetype headers = full.indexOf("Content-Type:");
  return full.size() == other.size() && full.left(headers) == other.left(headers);
}

}  // namespace

class ExportTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    sb::MailboxBuilder b;
    const uint32_t inbox = b.AddFolder(b.topFolder(), "Inbox");
    for (int i = 0; i < kInboxMails; ++i) {
      sb::MailFields f;
      f.subject = "mail " + std::to_string(i);
      f.senderName = "Alice Example";
      f.senderEmail = "alice@example.com";
      f.body = std::string(2000, static_cast<char>('a' + i % 26));
      sb::Item mail = sb::MakeMail(f);
      sb::Attachment a;
      a.fileName = "data.bin";
      a.data = Buffer(5000, std::byte{static_cast<unsigned char>(i)});
      mail.attachments.push_back(a);
      b.AddItem(inbox, mail);
    }
    const uint32_t sub = b.AddFolder(inbox, "Sub");
    for (const char* subject : {"sub one", "sub two"}) {
      sb::MailFields f;
      f.subject = subject;
      f.body = "text";
      b.AddItem(sub, sb::MakeMail(f));
    }
    const uint32_t contacts = b.AddFolder(b.topFolder(), "Contacts");
    for (const char* name : {"Alice Example", "Bob Example"}) {
      sb::ContactFields c;
      c.displayName = name;
      c.email = "someone@example.com";
      b.AddItem(contacts, sb::MakeContact(c));
    }
    const QString path = dir_.filePath(QStringLiteral("export.pst"));
    b.Write(path.toStdString());

    window_ = std::make_unique<MainWindow>(presenter_);
    window_->pathField()->setText(path);
    window_->Start();
    QVERIFY(WaitForWorker(*window_));
  }
  void cleanupTestCase() { window_.reset(); }

  void exportFolderWritesTheFolderAndItsSubfolders() {
    ExportJob* job = ExportInbox(QStringLiteral("full"));
    QVERIFY(job != nullptr);
    QVERIFY(Finished(job));
    QCOMPARE(job->result().itemsWritten, size_t{kInboxMails + 2});
    QVERIFY(!job->result().cancelled);
    const std::map<QString, QByteArray> files = Files(Dest(QStringLiteral("full")));
    QCOMPARE(files.size(), size_t{kInboxMails + 2});
    QVERIFY(files.count(QStringLiteral("Inbox/mail 7.eml")));
    QVERIFY(files.count(QStringLiteral("Inbox/Sub/sub two.eml")));
    const QByteArray& eml = files.at(QStringLiteral("Inbox/mail 7.eml"));
    QVERIFY(eml.contains("Subject: mail 7\r\n"));
    QVERIFY(eml.contains("data.bin"));
    QCOMPARE(presenter_.messages.size(), size_t{1});
    QVERIFY2(job->summary().startsWith(QStringLiteral("32 items of 32 written to")), qPrintable(job->summary()));
  }

  void cancelLeavesOnlyWholeFiles() {
    // The pool's threads are held until Cancel is pressed, so the export
    // cannot end before it.
    QThreadPool& pool = window_->readers().pool();
    const int threads = pool.maxThreadCount();
    QSemaphore gate;
    for (int i = 0; i < threads; ++i) pool.start([&gate] { gate.acquire(); });
    ExportJob* job = ExportInbox(QStringLiteral("cancelled"));
    QVERIFY(job != nullptr);
    QVERIFY(job->dialog() != nullptr);
    QPushButton* cancel = job->dialog()->findChild<QPushButton*>();
    QVERIFY(cancel != nullptr);
    cancel->click();
    gate.release(threads);
    QVERIFY(Finished(job));
    QVERIFY(job->result().cancelled);
    QVERIFY(job->result().itemsWritten < size_t{kInboxMails + 2});
    QVERIFY(job->summary().startsWith(QStringLiteral("The export was stopped.")));
    // Each file there is whole: the same as the full export's.
    const std::map<QString, QByteArray> full = Files(Dest(QStringLiteral("full")));
    for (const auto& [name, bytes] : Files(Dest(QStringLiteral("cancelled")))) {
      QVERIFY2(full.count(name) && Same(full.at(name), bytes), qPrintable(name));
    }
  }

  void saveAsWritesTheSelectedRowsInTheirFormats() {
    Select("Personal Folders\\Contacts\\");
    window_->itemList()->selectAll();
    presenter_.folderToChoose = Dest(QStringLiteral("contacts"));
    QVERIFY(QDir().mkpath(presenter_.folderToChoose));
    window_->SaveSelectedAs();
    QVERIFY(Finished(window_->currentExport()));
    QCOMPARE(Files(presenter_.folderToChoose).size(), size_t{2});
    for (const auto& [name, bytes] : Files(presenter_.folderToChoose)) {
      QVERIFY2(name.endsWith(QStringLiteral(".vcf")) && bytes.startsWith("BEGIN:VCARD"), qPrintable(name));
    }

    Select("Personal Folders\\Inbox\\");
    ItemList* list = window_->itemList();
    list->clearSelection();
    list->SelectRow(3);
    list->SelectRow(5);
    presenter_.folderToChoose = Dest(QStringLiteral("mails"));
    QVERIFY(QDir().mkpath(presenter_.folderToChoose));
    window_->SaveSelectedAs();
    QVERIFY(Finished(window_->currentExport()));
    const std::map<QString, QByteArray> mails = Files(presenter_.folderToChoose);
    QCOMPARE(mails.size(), size_t{2});
    QVERIFY(mails.count(QStringLiteral("mail 3.eml")) && mails.count(QStringLiteral("mail 5.eml")));

    // The same rows as .msg files, as chosen in the dialog.
    presenter_.formatToChoose = exporting::Format::Msg;
    presenter_.folderToChoose = Dest(QStringLiteral("msg"));
    QVERIFY(QDir().mkpath(presenter_.folderToChoose));
    window_->SaveSelectedAs();
    presenter_.formatToChoose = exporting::Format::All;
    QVERIFY(Finished(window_->currentExport()));
    const std::map<QString, QByteArray> msgs = Files(presenter_.folderToChoose);
    QCOMPARE(msgs.size(), size_t{2});
    for (const auto& [name, bytes] : msgs) {
      QVERIFY2(name.endsWith(QStringLiteral(".msg")) && bytes.startsWith(QByteArray::fromHex("D0CF11E0A1B11AE1")),
               qPrintable(name));
    }
  }

  void saveAsPstWritesTheFolderIntoOnePersonalFoldersFile() {
    presenter_.messages.clear();
    presenter_.saveFileToChoose = Dest(QStringLiteral("inbox.pst"));
    window_->folderTree()->RunMenuCommand(window_->folderTree()->FindPath("Personal Folders\\Inbox\\"),
                                          FolderTree::kMenuSavePst);
    QCOMPARE(presenter_.suggestedName, QStringLiteral("export.pst"));
    ExportJob* job = window_->currentExport();
    QVERIFY(Finished(job));
    QCOMPARE(job->result().itemsWritten, size_t{kInboxMails + 2});
    QVERIFY2(job->summary().startsWith(QStringLiteral("32 items of 32 written to")), qPrintable(job->summary()));
    auto reader = content::ItemReader::Open(presenter_.saveFileToChoose.toStdString());
    QVERIFY(reader != nullptr);

    // An existing file is kept: the conversion says so and writes nothing.
    window_->SaveAsPst(nullptr);
    job = window_->currentExport();
    QVERIFY(Finished(job));
    QVERIFY2(job->summary().contains(QStringLiteral("exists")), qPrintable(job->summary()));
    QCOMPARE(QDir(dir_.path()).entryList({QStringLiteral(".inbox*")}, QDir::Hidden | QDir::Files).size(), 0);
  }

  // Last: releases the session.
  void backStopsARunningExport() {
    ExportJob* job = ExportInbox(QStringLiteral("back"));
    QVERIFY(job != nullptr);
    qobject_cast<QToolButton*>(window_->control(session::kBackButton))->click();
    QCOMPARE(window_->session().state(), session::SessionState::Idle);
    QVERIFY(Finished(job));
    const std::map<QString, QByteArray> full = Files(Dest(QStringLiteral("full")));
    for (const auto& [name, bytes] : Files(Dest(QStringLiteral("back")))) {
      QVERIFY2(full.count(name) && Same(full.at(name), bytes), qPrintable(name));
    }
  }

 private:
  QString Dest(const QString& name) const { return dir_.filePath(name); }

  void Select(const char* path) {
    QTreeWidgetItem* item = window_->folderTree()->FindPath(path);
    QVERIFY(item != nullptr);
    window_->folderTree()->setCurrentItem(item);
    window_->FillItemList(item);
  }

  ExportJob* ExportInbox(const QString& dest) {
    presenter_.messages.clear();
    presenter_.folderToChoose = Dest(dest);
    QDir().mkpath(presenter_.folderToChoose);
    window_->ExportFolder(window_->folderTree()->FindPath("Personal Folders\\Inbox\\"));
    return window_->currentExport();
  }

  static bool Finished(ExportJob* job) {
    return job != nullptr && QTest::qWaitFor([job] { return job->finished(); }, 20000);
  }

  QTemporaryDir dir_;
  FakePresenter presenter_;
  std::unique_ptr<MainWindow> window_;
};

QTEST_MAIN(ExportTest)
#include "export_test.moc"
