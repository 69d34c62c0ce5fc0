// Item windows opened from the item list of a finished recovery, and while
// a recovery still runs: headers, bodies, the HTML view's refusal to load
// anything, saving attachments, embedded messages, and a window that stays
// open while Back releases the session.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include <atomic>
#include <cstring>
#include <thread>

#include "content/safe_name.h"
#include "session/session.h"
#include "storebuilder/mailbox.h"
#include "test_support.h"
#include "ui/folder_tree.h"
#include "ui/html_view.h"
#include "ui/item_list.h"
#include "ui/item_window.h"
#include "ui/reader_hub.h"

using namespace velmorix;
using namespace velmorix::ui;
using namespace velmorix::ui::testing;
namespace sb = velmorix::storebuilder;

namespace {

Buffer Bytes(const QByteArray& a) {
  Buffer out(static_cast<size_t>(a.size()));
  std::memcpy(out.data(), a.constData(), out.size());
  return out;
}

QByteArray Png(QColor color) {
  QImage image(8, 6, QImage::Format_RGB32);
  image.fill(color);
  QByteArray out;
  QBuffer buffer(&out);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return out;
}

// 200 KB that are not a repetition of a short pattern.
QByteArray Figures() {
  QByteArray out;
  uint32_t x = 12345;
  for (int i = 0; i < 200 * 1024; ++i) {
    x = x * 1103515245u + 12345u;
    out.append(static_cast<char>(x >> 24));
  }
  return out;
}

sb::Attachment File(const std::string& name, const QByteArray& data) {
  sb::Attachment a;
  a.fileName = name;
  a.data = Bytes(data);
  return a;
}

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}


}  // namespace

class ItemWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    QVERIFY(server_.listen(QHostAddress::LocalHost));
    remote_ = QStringLiteral("http://127.0.0.1:%1/").arg(server_.serverPort());
    localPicture_ = dir_.filePath(QStringLiteral("local.png"));
    QFile local(localPicture_);
    QVERIFY(local.open(QIODevice::WriteOnly));
    local.write(Png(Qt::red));
    local.close();
    mailbox_ = WriteMailbox();
    outside_ = dir_.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(outside_ + QStringLiteral("/saved")));
    presenter_.folderToChoose = outside_ + QStringLiteral("/saved");

    window_ = std::make_unique<MainWindow>(presenter_);
    window_->pathField()->setText(mailbox_);
    window_->Start();
    QVERIFY(WaitForWorker(*window_));
    QCOMPARE(window_->session().state(), session::SessionState::Finished);
  }
  void cleanupTestCase() { window_.reset(); }

  void openFromRowShowsHeadersAndBodies() {
    ItemList* list = Select(*window_, "Personal Folders\\Inbox\\");
    QCOMPARE(list->rowCount(), 1);
    const QRect rect = list->visualRect(list->IndexAt(0));
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    ItemWindow* w = LoadedWindow(0);
    QVERIFY(w != nullptr);
    QVERIFY(w->item() != nullptr);
    QCOMPARE(w->titleLabel()->text(), QStringLiteral("Quarterly report"));
    QCOMPARE(w->fieldText(QStringLiteral("Subject")), QStringLiteral("Quarterly report"));
    QCOMPARE(w->fieldText(QStringLiteral("From")), QStringLiteral("Alice Example <alice@example.com>"));
    QCOMPARE(w->fieldText(QStringLiteral("To")), QStringLiteral("Bob Example <bob@example.com>"));
    QVERIFY(w->fieldText(QStringLiteral("Attachments")).contains(QStringLiteral("figures.bin")));
    QCOMPARE(w->bodyForms(), (QList<ItemWindow::BodyForm>{ItemWindow::BodyForm::Html, ItemWindow::BodyForm::Plain}));
    QCOMPARE(w->bodyForm(), ItemWindow::BodyForm::Html);
    QVERIFY(w->htmlView()->toPlainText().contains(QStringLiteral("The HTML body")));
    w->ShowBodyForm(ItemWindow::BodyForm::Plain);
    QCOMPARE(w->textView()->toPlainText(), QStringLiteral("The plain body"));
    QCOMPARE(w->attachmentList()->topLevelItemCount(), 4);
    QVERIFY(!w->propertyList()->findItems(QStringLiteral("PidTagSubject"), Qt::MatchExactly, 1).isEmpty());

    // The inline picture is served from the attachment.
    const QVariant picture =
        w->htmlView()->document()->resource(QTextDocument::ImageResource, QUrl(QStringLiteral("cid:pic@example")));
    QCOMPARE(picture.value<QImage>().size(), QSize(8, 6));

    // Enter on the same row raises that window instead of opening another.
    list->SetCurrentRow(0);
    QTest::keyClick(list, Qt::Key_Return);
    QCOMPARE(window_->readers().windows().size(), 1);
  }

  void htmlViewLoadsNothing() {
    HtmlView view;
    const QString local = QUrl::fromLocalFile(localPicture_).toString();
    view.ShowHtml(QStringLiteral("<html><head><link rel=stylesheet href='%1s.css'>"
                                 "<style>@import url(%1i.css);</style></head>"
                                 "<body background='%1bg.png'><p>text</p><img src='%1remote.png'>"
                                 "<img src='%2'><img src='local.png'>"
                                 "<script>document.write('scripted')</script>"
                                 "<form action='%1post'><input name=q value=typed></form></body></html>")
                      .arg(remote_, local),
                  {});
    view.resize(400, 300);
    view.grab();  // lays out and paints: every picture is asked for
    QTest::qWait(100);
    QVERIFY(!server_.hasPendingConnections());
    // A copy: asking for a resource below adds to the document's list of requests.
    const QList<QUrl> asked = view.safeDocument()->requests();
    QVERIFY(asked.contains(QUrl(remote_ + QStringLiteral("remote.png"))));
    QVERIFY(asked.contains(QUrl(local)));
    for (const QUrl& url : asked) {
      QVERIFY2(view.document()->resource(QTextDocument::ImageResource, url).isNull(), qPrintable(url.toString()));
    }
    QVERIFY(!view.toPlainText().contains(QStringLiteral("scripted")));
    QVERIFY(!view.openLinks());
  }

  void saveAllWritesExactBytesInsideTheFolder() {
    ItemWindow* w = LoadedWindow(0);
    QVERIFY(w != nullptr);
    const QString saved = presenter_.folderToChoose;
    presenter_.messages.clear();
    QSignalSpy done(w, &ItemWindow::saveFinished);
    w->SaveAllAttachments();
    QVERIFY(done.wait(10000));
    QCOMPARE(presenter_.folderDialogs, 1);

    const QString evil = QString::fromStdString(content::SafeFileName("../../evil.txt"));
    QVERIFY(!evil.contains(QLatin1Char('/')));
    QStringList names = QDir(saved).entryList(QDir::Files | QDir::Hidden);
    names.sort();
    QCOMPARE(names, (QStringList{"Forwarded note.eml", evil, "figures.bin", "pic.png"}));
    QCOMPARE(ReadAll(saved + QStringLiteral("/figures.bin")), Figures());
    QCOMPARE(ReadAll(saved + QLatin1Char('/') + evil), QByteArray("evil"));
    QCOMPARE(ReadAll(saved + QStringLiteral("/pic.png")), Png(Qt::blue));
    QCOMPARE(QDir(outside_).entryList(QDir::Files | QDir::Hidden), QStringList());
    QVERIFY(!QFile::exists(dir_.filePath(QStringLiteral("evil.txt"))));
    QCOMPARE(presenter_.messages.size(), size_t{1});
    const QString told = QString::fromStdString(presenter_.messages.back().message.text);
    QVERIFY2(told.startsWith(QStringLiteral("4 attachments saved to")), qPrintable(told));
    // The embedded message as a message file of its own.
    QVERIFY(ReadAll(saved + QStringLiteral("/Forwarded note.eml")).contains("Subject: Inner subject"));

    // Saving again replaces nothing: the new files take numbered names.
    QVERIFY(QFile::resize(saved + QStringLiteral("/figures.bin"), 2));
    w->SaveAllAttachments();
    QVERIFY(done.wait(10000));
    QCOMPARE(ReadAll(saved + QStringLiteral("/figures.bin")), Figures().left(2));
    QCOMPARE(ReadAll(saved + QStringLiteral("/figures (2).bin")), Figures());
  }

  void saveAsMsgWritesACompoundFileAndReplacesNothing() {
    ItemWindow* w = LoadedWindow(0);
    QVERIFY(w != nullptr);
    QVERIFY(w->saveMsgButton()->isEnabled());
    const QString target = dir_.filePath(QStringLiteral("item.msg"));
    QFile::remove(target);
    presenter_.saveFileToChoose = target;
    presenter_.messages.clear();
    QSignalSpy done(w, &ItemWindow::saveFinished);
    w->saveMsgButton()->click();
    QVERIFY(done.wait(10000));
    QCOMPARE(presenter_.saveDialogs, 1);
    QVERIFY(presenter_.saveNameOffered.endsWith(QStringLiteral(".msg")));
    const QByteArray bytes = ReadAll(target);
    // The compound file's signature, and the attachment bytes inside it.
    QVERIFY(bytes.startsWith(QByteArray::fromHex("D0CF11E0A1B11AE1")));
    QVERIFY(bytes.contains(Figures().left(64)));
    QVERIFY(QString::fromStdString(presenter_.messages.back().message.text).startsWith(QStringLiteral("Saved as")));

    // A second save to the same name leaves the file as it is.
    QVERIFY(QFile::resize(target, 512));
    w->SaveAsMsg();
    QVERIFY(done.wait(10000));
    QCOMPARE(QFileInfo(target).size(), 512);
    QVERIFY(QString::fromStdString(presenter_.messages.back().message.text).contains(QStringLiteral("not replaced")));
    QFile::remove(target);
  }

  void embeddedMessageOpensInItsOwnWindow() {
    ItemWindow* w = LoadedWindow(0);
    QVERIFY(w != nullptr);
    QTreeWidget* list = w->attachmentList();
    list->clearSelection();
    const QList<QTreeWidgetItem*> rows = list->findItems(QStringLiteral("Forwarded note"), Qt::MatchExactly, 0);
    QCOMPARE(rows.size(), 1);
    rows.front()->setSelected(true);
    w->OpenSelectedAttachments();
    ItemWindow* inner = LoadedWindow(1);
    QVERIFY(inner != nullptr);
    QVERIFY(inner->source().embedded.has_value());
    QCOMPARE(inner->titleLabel()->text(), QStringLiteral("Inner subject"));
    QCOMPARE(inner->textView()->toPlainText(), QStringLiteral("Inner body"));
    inner->close();
  }

  void eachKindShowsItsOwnFields() {
    struct Case {
      const char* folder;
      const char* label;
      const char* value;
    };
    const Case cases[] = {
        {"Personal Folders\\Contacts\\", "Phone (mobile)", "+1 555 0100"},
        {"Personal Folders\\Calendar\\", "Location", "Room 4"},
        {"Personal Folders\\Tasks\\", "Status", "In progress"},
        {"Personal Folders\\Notes\\", "Color", "Yellow"},
        {"Personal Folders\\Journal\\", "Entry type", "Phone call"},
    };
    for (const Case& c : cases) {
      ItemList* list = Select(*window_, c.folder);
      QCOMPARE(list->rowCount(), 1);
      const int before = static_cast<int>(window_->readers().windows().size());
      window_->OpenItem(list->NodeIdAt(0));
      ItemWindow* w = LoadedWindow(before);
      QVERIFY2(w != nullptr, c.folder);
      QCOMPARE(w->fieldText(QString::fromLatin1(c.label)), QString::fromUtf8(c.value));
      w->close();
    }
  }

  void itemOpensWhileTheScanRuns() {
    FakePresenter presenter;
    MainWindow window(presenter);
    std::atomic<bool> holding{false};
    std::atomic<bool> release{false};
    // Hold the scan once a mail is listed, until the item has been read.
    window.session().stageProbe = [&](int stage) {
      if (stage != 5 || window.session().mailCount() == 0 || release.load()) return;
      holding.store(true);
      for (int i = 0; i < 2000 && !release.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    window.pathField()->setText(mailbox_);
    window.Start();
    QTRY_VERIFY_WITH_TIMEOUT(holding.load(), 10000);
    // The window adds the scan's folders a moment after the worker names them.
    QTRY_VERIFY(window.folderTree()->FindPath("Personal Folders\\Inbox\\") != nullptr);
    ItemList* list = Select(window, "Personal Folders\\Inbox\\");
    QCOMPARE(list->rowCount(), 1);
    window.OpenItem(list->NodeIdAt(0));
    QTRY_VERIFY_WITH_TIMEOUT(window.readers().windows().size() == 1 && window.readers().windows()[0]->loaded(), 10000);
    QCOMPARE(window.readers().windows()[0]->titleLabel()->text(), QStringLiteral("Quarterly report"));
    QVERIFY(window.session().WorkerRunning());
    release.store(true);
    QVERIFY(WaitForWorker(window));
    window.session().stageProbe = nullptr;
  }

  // Last: releases the session of the shared window.
  void windowOpenWhileBackReleasesTheSession() {
    ItemList* list = Select(*window_, "Personal Folders\\Inbox\\");
    const uint32_t id = list->NodeIdAt(0);
    for (ItemWindow* open : window_->readers().windows()) open->close();
    QTRY_COMPARE(window_->readers().windows().size(), 0);

    // A window gone before its read ends drops the result.
    delete window_->readers().OpenItem(id);
    window_->readers().pool().waitForDone();
    QTest::qWait(20);

    // One window still reading, one saving, when Back releases the data.
    ItemWindow* saving = window_->readers().OpenItem(id);
    QTRY_VERIFY(saving->loaded());
    QDir(presenter_.folderToChoose).removeRecursively();
    QVERIFY(QDir().mkpath(presenter_.folderToChoose));
    QSignalSpy saved(saving, &ItemWindow::saveFinished);
    saving->SaveAllAttachments();
    window_->readers().CloseWindows();
    QTRY_COMPARE(window_->readers().windows().size(), 0);
    ItemWindow* reading = window_->readers().OpenItem(id);
    QVERIFY(reading != nullptr);
    qobject_cast<QToolButton*>(window_->control(session::kBackButton))->click();
    QCOMPARE(window_->session().state(), session::SessionState::Idle);
    QVERIFY(reading->readerClosed());
    QTRY_VERIFY(reading->loaded());

    // What was read stays readable; nothing more is read.
    presenter_.messages.clear();
    reading->SaveAllAttachments();
    if (reading->item() != nullptr) {
      QCOMPARE(presenter_.messages.size(), size_t{1});
      QVERIFY(QString::fromStdString(presenter_.messages.back().message.text).contains(QStringLiteral("closed")));
      reading->attachmentList()->selectAll();
      reading->OpenSelectedAttachments();
      QCOMPARE(window_->readers().windows().size(), 1);
    }
    // The save that was cut short left whole files only.
    for (const QFileInfo& file : QDir(presenter_.folderToChoose).entryInfoList(QDir::Files | QDir::Hidden)) {
      QVERIFY2(!file.fileName().startsWith(QLatin1Char('.')), qPrintable(file.fileName()));
      if (file.fileName() == QLatin1String("figures.bin")) QCOMPARE(ReadAll(file.filePath()), Figures());
    }
    QVERIFY(window_->readers().OpenItem(id) == nullptr);  // nothing left to read from
  }

 private:
  QString WriteMailbox() {
    sb::MailboxBuilder b;
    const uint32_t top = b.topFolder();
    const uint32_t inbox = b.AddFolder(top, "Inbox");
    sb::MailFields fields;
    fields.subject = "Quarterly report";
    fields.senderName = "Alice Example";
    fields.senderEmail = "alice@example.com";
    fields.displayTo = "Bob Example";
    fields.body = "The plain body";
    fields.html = QStringLiteral("<html><body><p>The HTML body</p><img src=\"cid:pic@example\">"
                                 "<img src=\"%1tracker.png\"><img src=\"%2\"></body></html>")
                      .arg(remote_, QUrl::fromLocalFile(localPicture_).toString())
                      .toStdString();
    sb::Item mail = sb::MakeMail(fields);
    mail.recipients = {{"Bob Example", "bob@example.com", 1}};
    mail.attachments.push_back(File("figures.bin", Figures()));
    mail.attachments.push_back(File("../../evil.txt", "evil"));
    sb::Attachment picture = File("pic.png", Png(Qt::blue));
    picture.mimeTag = "image/png";
    picture.props.Text(0x3712, "pic@example").Long(0x3714, 4);
    mail.attachments.push_back(picture);
    sb::MailFields innerFields;
    innerFields.subject = "Inner subject";
    innerFields.body = "Inner body";
    sb::Attachment embedded;
    embedded.fileName = "Forwarded note";
    embedded.method = 5;
    embedded.embedded = std::make_shared<sb::Item>(sb::MakeMail(innerFields));
    mail.attachments.push_back(embedded);
    b.AddItem(inbox, mail);

    sb::ContactFields contact;
    contact.displayName = "Carol Example";
    contact.mobilePhone = "+1 555 0100";
    contact.email = "carol@example.com";
    b.AddItem(b.AddFolder(top, "Contacts"), sb::MakeContact(contact));
    sb::AppointmentFields appointment;
    appointment.subject = "Review";
    appointment.location = "Room 4";
    b.AddItem(b.AddFolder(top, "Calendar"), sb::MakeAppointment(appointment));
    sb::TaskFields task;
    task.subject = "Write it";
    task.status = 1;
    b.AddItem(b.AddFolder(top, "Tasks"), sb::MakeTask(task));
    sb::NoteFields note;
    note.subject = "Shopping";
    note.body = "Milk";
    b.AddItem(b.AddFolder(top, "Notes"), sb::MakeStickyNote(note));
    sb::JournalFields journal;
    journal.subject = "Called Carol";
    b.AddItem(b.AddFolder(top, "Journal"), sb::MakeJournal(journal));

    const QString path = dir_.filePath(QStringLiteral("items.pst"));
    b.Write(path.toStdString());
    return path;
  }

  static ItemList* Select(MainWindow& window, const char* path) {
    QTreeWidgetItem* item = window.folderTree()->FindPath(path);
    if (item == nullptr) return window.itemList();
    window.folderTree()->setCurrentItem(item);
    window.FillItemList(item);
    return window.itemList();
  }

  // The `index`th open item window once it has read its item.
  ItemWindow* LoadedWindow(int index) {
    if (!QTest::qWaitFor([&] {
          const QList<ItemWindow*> windows = window_->readers().windows();
          return windows.size() > index && windows[index]->loaded();
        }, 10000)) {
      return nullptr;
    }
    return window_->readers().windows()[index];
  }

  QTemporaryDir dir_;
  QTcpServer server_;
  QString remote_;
  QString localPicture_;
  QString mailbox_;
  QString outside_;
  FakePresenter presenter_;
  std::unique_ptr<MainWindow> window_;
};

QTEST_MAIN(ItemWindowTest)
#include "item_window_test.moc"
