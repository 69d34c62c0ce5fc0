#include "ui/item_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QTabWidget>
#include <QThreadPool>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "content/item_reader.h"
#include "export/attachment_files.h"
#include "ui/html_view.h"
#include "ui/item_text.h"
#include "ui/pictures.h"
#include "ui/presenter.h"
#include "content/safe_name.h"
#include "export/msg.h"
#include "ui/reader_slot.h"
#include "ui/text.h"

namespace velmorix::ui {

namespace {

using content::Attachment;
using content::Body;
using content::BodySource;

constexpr const char* kClosedReason = "the recovery it came from has been closed";

// Inline pictures are read with the item when it has an HTML body, within
// these bounds.
constexpr uint64_t kMaxInlineImageBytes = 16u << 20;
constexpr uint64_t kMaxInlineImagesTotal = 64u << 20;

QHash<QString, QImage> ReadInlineImages(content::ItemReader& reader, const content::Item& item,
                                        const ReaderSlot& slot) {
  QHash<QString, QImage> images;
  uint64_t total = 0;
  for (const Attachment& a : item.attachments) {
    if (slot.stopRequested()) break;
    if (a.isEmbeddedMessage() || !a.readable || (a.contentId.empty() && a.contentLocation.empty())) continue;
    if (a.size > kMaxInlineImageBytes || total + a.size > kMaxInlineImagesTotal) continue;
    std::optional<Buffer> bytes = reader.ReadAttachmentBytes(a, kMaxInlineImageBytes);
    if (!bytes) continue;
    total += bytes->size();
    const QImage image = QImage::fromData(reinterpret_cast<const uchar*>(bytes->data()),
                                          static_cast<int>(bytes->size()));
    if (image.isNull()) continue;
    if (!a.contentId.empty()) images.insert(SafeDocument::InlineKey(ToQString(a.contentId)), image);
    if (!a.contentLocation.empty()) images.insert(SafeDocument::InlineKey(ToQString(a.contentLocation)), image);
  }
  return images;
}

QString FormName(ItemWindow::BodyForm form) {
  switch (form) {
    case ItemWindow::BodyForm::Html: return QStringLiteral("HTML");
    case ItemWindow::BodyForm::Plain: return QStringLiteral("Plain text");
    case ItemWindow::BodyForm::Rtf: return QStringLiteral("RTF");
  }
  return {};
}

QString SourceNote(const Body& body, const char* what) {
  QString note;
  if (body.source == BodySource::FromRtf) note = QStringLiteral("Made from the RTF body.");
  if (body.source == BodySource::FromHtml) note = QStringLiteral("Made from the HTML body.");
  if (body.damaged) {
    if (!note.isEmpty()) note += QLatin1Char(' ');
    note += QStringLiteral("The %1 body is damaged; what could be read is shown").arg(QLatin1String(what));
    note += body.problem.empty() ? QStringLiteral(".") : QStringLiteral(": %1.").arg(ToQString(body.problem));
  }
  return note;
}

QTreeWidget* ReportList(const QStringList& columns, QWidget* parent) {
  auto* list = new QTreeWidget(parent);
  list->setRootIsDecorated(false);
  list->setUniformRowHeights(true);
  list->setAllColumnsShowFocus(true);
  list->setHeaderLabels(columns);
  list->header()->setStretchLastSection(true);
  return list;
}

}  // namespace

ItemWindow::ItemWindow(Presenter& presenter, QThreadPool& pool, std::shared_ptr<ReaderSlot> reader, Source source,
                       QWidget* parent)
    : QWidget(parent, Qt::Window), presenter_(presenter), pool_(pool), reader_(std::move(reader)),
      source_(std::move(source)) {
  setWindowTitle(QStringLiteral("Reading... - Velmorix"));
  setWindowIcon(AppIcon());
  resize(820, 640);

  auto* layout = new QVBoxLayout(this);
  title_ = new QLabel(this);
  title_->setObjectName(QStringLiteral("title"));
  title_->setTextFormat(Qt::PlainText);
  title_->setWordWrap(true);
  title_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QFont big = title_->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.3);
  title_->setFont(big);
  layout->addWidget(title_);

  header_ = new QFormLayout;
  header_->setLabelAlignment(Qt::AlignRight | Qt::AlignTop);
  header_->setRowWrapPolicy(QFormLayout::DontWrapRows);
  header_->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  layout->addLayout(header_);

  problems_ = new QLabel(this);
  problems_->setObjectName(QStringLiteral("problems"));
  problems_->setTextFormat(Qt::PlainText);
  problems_->setWordWrap(true);
  problems_->setStyleSheet(QStringLiteral("QLabel { background: #fff4ce; padding: 4px; }"));
  problems_->hide();
  layout->addWidget(problems_);

  tabs_ = new QTabWidget(this);
  layout->addWidget(tabs_, 1);

  // The body page: the form switch, a note, and the two views.
  auto* bodyPage = new QWidget;
  auto* bodyLayout = new QVBoxLayout(bodyPage);
  bodyLayout->setContentsMargins(0, 4, 0, 0);
  auto* formRow = new QHBoxLayout;
  formChoice_ = new QComboBox(bodyPage);
  formChoice_->setObjectName(QStringLiteral("bodyForm"));
  formChoice_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  formLabel_ = new QLabel(QStringLiteral("Show:"), bodyPage);
  formRow->addWidget(formLabel_);
  formRow->addWidget(formChoice_);
  bodyNote_ = new QLabel(bodyPage);
  bodyNote_->setTextFormat(Qt::PlainText);
  bodyNote_->setWordWrap(true);
  formRow->addWidget(bodyNote_, 1);
  bodyLayout->addLayout(formRow);
  bodyStack_ = new QStackedWidget(bodyPage);
  html_ = new HtmlView(bodyStack_);
  html_->setObjectName(QStringLiteral("html"));
  text_ = new QPlainTextEdit(bodyStack_);
  text_->setObjectName(QStringLiteral("text"));
  text_->setReadOnly(true);
  text_->setUndoRedoEnabled(false);
  bodyStack_->addWidget(html_);
  bodyStack_->addWidget(text_);
  bodyStack_->setCurrentWidget(text_);
  bodyLayout->addWidget(bodyStack_, 1);
  tabs_->addTab(bodyPage, QStringLiteral("Message"));
  connect(formChoice_, &QComboBox::activated, this, [this](int index) {
    ShowBodyForm(static_cast<BodyForm>(formChoice_->itemData(index).toInt()));
  });

  // The attachments page.
  attachmentPage_ = new QWidget;
  auto* attachLayout = new QVBoxLayout(attachmentPage_);
  attachments_ = ReportList({QStringLiteral("Name"), QStringLiteral("Size"), QStringLiteral("Type"),
                             QStringLiteral("Content ID"), QStringLiteral("Note")},
                            attachmentPage_);
  attachments_->setObjectName(QStringLiteral("attachments"));
  attachments_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  attachments_->setColumnWidth(0, 260);
  attachments_->setColumnWidth(1, 80);
  attachments_->setColumnWidth(2, 140);
  attachments_->setColumnWidth(3, 140);
  attachLayout->addWidget(attachments_, 1);
  auto* buttons = new QHBoxLayout;
  openButton_ = new QPushButton(QStringLiteral("Open"), attachmentPage_);
  saveButton_ = new QPushButton(QStringLiteral("Save..."), attachmentPage_);
  saveAllButton_ = new QPushButton(QStringLiteral("Save All..."), attachmentPage_);
  buttons->addWidget(openButton_);
  buttons->addStretch(1);
  buttons->addWidget(saveButton_);
  buttons->addWidget(saveAllButton_);
  attachLayout->addLayout(buttons);
  tabs_->addTab(attachmentPage_, QStringLiteral("Attachments"));
  connect(openButton_, &QPushButton::clicked, this, &ItemWindow::OpenSelectedAttachments);
  connect(saveButton_, &QPushButton::clicked, this, &ItemWindow::SaveSelectedAttachments);
  connect(saveAllButton_, &QPushButton::clicked, this, &ItemWindow::SaveAllAttachments);
  connect(attachments_, &QTreeWidget::itemSelectionChanged, this, &ItemWindow::UpdateButtons);
  connect(attachments_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* row) {
    const auto index = row->data(0, Qt::UserRole).toULongLong();
    if (!item_ || index >= item_->attachments.size()) return;
    if (item_->attachments[index].isEmbeddedMessage()) {
      OpenSelectedAttachments();
    } else {
      SaveSelectedAttachments();
    }
  });

  // The properties page.
  properties_ = ReportList({QStringLiteral("Tag"), QStringLiteral("Name"), QStringLiteral("Type"),
                            QStringLiteral("Value")},
                           this);
  properties_->setObjectName(QStringLiteral("properties"));
  properties_->setColumnWidth(0, 100);
  properties_->setColumnWidth(1, 220);
  properties_->setColumnWidth(2, 110);
  tabs_->addTab(properties_, QStringLiteral("Properties"));

  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("status"));
  status_->setTextFormat(Qt::PlainText);
  status_->setWordWrap(true);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(status_, 1);
  saveMsgButton_ = new QPushButton(QStringLiteral("Save as .msg..."), this);
  saveMsgButton_->setObjectName(QStringLiteral("saveMsg"));
  bottom->addWidget(saveMsgButton_);
  layout->addLayout(bottom);
  connect(saveMsgButton_, &QPushButton::clicked, this, &ItemWindow::SaveAsMsg);

  AddKeys();
  UpdateButtons();
  StartRead();
}

void ItemWindow::AddKeys() {
  auto add = [this](const QKeySequence& keys, auto action) {
    auto* shortcut = new QShortcut(keys, this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, action);
  };
  for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
    add(keys, [this] { close(); });
  }
  for (const QKeySequence& keys : {QKeySequence(Qt::CTRL | Qt::Key_Period), QKeySequence(Qt::ALT | Qt::Key_Right)}) {
    add(keys, [this] { emit stepRequested(1); });
  }
  for (const QKeySequence& keys : {QKeySequence(Qt::CTRL | Qt::Key_Comma), QKeySequence(Qt::ALT | Qt::Key_Left)}) {
    add(keys, [this] { emit stepRequested(-1); });
  }
}

ItemWindow::~ItemWindow() {
  // A read or save still running for this window stops at its next check;
  // its result finds the window gone.
  reader_->RequestStop();
}

bool ItemWindow::readerClosed() const { return reader_->closed(); }

void ItemWindow::closeEvent(QCloseEvent* event) {
  closing_ = true;
  reader_->RequestStop();
  event->accept();
}

void ItemWindow::StartRead() {
  status_->setText(QStringLiteral("Reading the item..."));
  const QPointer<ItemWindow> self(this);
  pool_.start([self, slot = reader_, source = source_] {
    auto loaded = std::make_shared<Loaded>();
    const bool used = slot->Use([&](content::ItemReader& reader) {
      std::string error;
      loaded->item = source.embedded ? reader.ReadEmbedded(*source.embedded, {}, &error)
                                     : reader.Read(source.nodeId, {}, &error);
      if (!loaded->item) {
        loaded->error = error.empty() ? "the item cannot be read" : error;
        return;
      }
      if (loaded->item->bodies.html.present()) loaded->images = ReadInlineImages(reader, *loaded->item, *slot);
    });
    if (!used) loaded->error = kClosedReason;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, loaded] {
          if (self) self->ShowLoaded(std::move(*loaded));
        },
        Qt::QueuedConnection);
  });
}

void ItemWindow::ShowLoaded(Loaded loaded) {
  loaded_ = true;
  status_->clear();
  if (!loaded.item) {
    error_ = QStringLiteral("This item cannot be read: %1.").arg(ToQString(loaded.error));
    title_->setText(error_);
    setWindowTitle(QStringLiteral("Unreadable item - Velmorix"));
    tabs_->setEnabled(false);
    emit itemLoaded();
    return;
  }
  item_ = std::move(loaded.item);
  images_ = std::move(loaded.images);
  const content::Item& item = *item_;
  title_->setText(ItemTitle(item));
  setWindowTitle(ItemTitle(item) + QStringLiteral(" - Velmorix"));
  ShowHeader();

  const bool mail = !item.contact && !item.appointment && !item.task && !item.note && !item.journal;
  tabs_->setTabText(0, mail ? QStringLiteral("Message") : QStringLiteral("Text"));
  forms_.clear();
  if (item.bodies.html.present()) forms_.append(BodyForm::Html);
  if (item.bodies.plain.present()) forms_.append(BodyForm::Plain);
  if (item.bodies.rtf.present()) forms_.append(BodyForm::Rtf);
  formChoice_->clear();
  for (BodyForm form : forms_) formChoice_->addItem(FormName(form), static_cast<int>(form));
  formChoice_->setEnabled(forms_.size() > 1);
  formChoice_->setVisible(!forms_.isEmpty());
  formLabel_->setVisible(!forms_.isEmpty());
  if (forms_.isEmpty()) {
    text_->setPlainText(QString());
    text_->setPlaceholderText(QStringLiteral("This item has no text."));
    bodyStack_->setCurrentWidget(text_);
  } else {
    ShowBodyForm(forms_.front());
  }

  ShowAttachments();
  ShowProperties();
  if (!item.problems.empty()) {
    QStringList lines;
    for (const std::string& p : item.problems) lines.append(ToQString(p));
    problems_->setText(QStringLiteral("Damaged: ") + lines.join(QStringLiteral("; ")));
    problems_->show();
  }
  if (reader_->closed()) OnReaderClosed();
  UpdateButtons();
  emit itemLoaded();
}

void ItemWindow::ShowHeader() {
  while (header_->rowCount() > 0) header_->removeRow(0);
  for (const Field& field : HeaderFields(*item_)) {
    auto* value = new QLabel(field.value, this);
    value->setTextFormat(Qt::PlainText);
    value->setWordWrap(true);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    value->setObjectName(QStringLiteral("field:") + field.label);
    auto* label = new QLabel(field.label + QLatin1Char(':'), this);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    header_->addRow(label, value);
  }
}

QString ItemWindow::fieldText(const QString& label) const {
  auto* value = findChild<QLabel*>(QStringLiteral("field:") + label);
  return value ? value->text() : QString();
}

void ItemWindow::ShowBodyForm(BodyForm form) {
  if (!item_ || !forms_.contains(form)) return;
  form_ = form;
  formChoice_->setCurrentIndex(formChoice_->findData(static_cast<int>(form)));
  const content::Bodies& bodies = item_->bodies;
  switch (form) {
    case BodyForm::Html:
      if (!htmlShown_) {
        html_->ShowHtml(ToQString(bodies.html.text), images_);
        htmlShown_ = true;
      }
      bodyNote_->setText(SourceNote(bodies.html, "HTML"));
      bodyStack_->setCurrentWidget(html_);
      break;
    case BodyForm::Plain:
      text_->setPlainText(ToQString(bodies.plain.text));
      text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
      bodyNote_->setText(SourceNote(bodies.plain, "plain text"));
      bodyStack_->setCurrentWidget(text_);
      break;
    case BodyForm::Rtf:
      text_->setPlainText(ToQString(bodies.rtf.text));
      text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
      bodyNote_->setText(SourceNote(bodies.rtf, "RTF"));
      bodyStack_->setCurrentWidget(text_);
      break;
  }
}

void ItemWindow::ShowAttachments() {
  attachments_->clear();
  for (const Attachment& a : item_->attachments) {
    auto* row = new QTreeWidgetItem(attachments_);
    QString name = AttachmentName(a);
    row->setText(0, name.isEmpty() ? QStringLiteral("(no name)") : name);
    row->setData(0, Qt::UserRole, static_cast<qulonglong>(a.index));
    row->setIcon(0, QIcon(ListImage(a.isEmbeddedMessage() ? 13 : 12)));
    if (!a.isEmbeddedMessage()) row->setText(1, SizeText(a.size));
    row->setText(2, a.isEmbeddedMessage() ? QStringLiteral("message") : ToQString(a.mimeType));
    row->setText(3, ToQString(a.contentId));
    QStringList notes;
    if (a.isEmbeddedMessage()) notes.append(QStringLiteral("embedded message: Open shows it, Save writes it as .eml"));
    if (a.isInline() && !a.isEmbeddedMessage()) notes.append(QStringLiteral("shown in the body"));
    if (a.hidden) notes.append(QStringLiteral("hidden"));
    if (!a.readable) notes.append(QStringLiteral("unreadable: ") + ToQString(a.problem));
    row->setText(4, notes.join(QStringLiteral("; ")));
  }
  tabs_->setTabText(tabs_->indexOf(attachmentPage_),
                    QStringLiteral("Attachments (%1)").arg(item_->attachments.size()));
}

void ItemWindow::ShowProperties() {
  properties_->clear();
  QList<QTreeWidgetItem*> rows;
  rows.reserve(static_cast<qsizetype>(item_->properties.size()));
  for (const content::Property& p : item_->properties) {
    auto* row = new QTreeWidgetItem;
    row->setText(0, PropertyTag(p));
    row->setText(1, ToQString(p.name));
    row->setText(2, ToQString(p.typeName));
    QString value = p.unreadable ? QStringLiteral("(unreadable)") : ToQString(p.value);
    if (p.truncated) value += QStringLiteral(" ... (%1)").arg(SizeText(p.size));
    value.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    row->setText(3, value);
    rows.append(row);
  }
  properties_->addTopLevelItems(rows);
}

std::vector<size_t> ItemWindow::SelectedAttachments() const {
  std::vector<size_t> out;
  if (!item_) return out;
  for (int i = 0; i < attachments_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = attachments_->topLevelItem(i);
    const auto index = static_cast<size_t>(row->data(0, Qt::UserRole).toULongLong());
    if (row->isSelected() && index < item_->attachments.size()) out.push_back(index);
  }
  return out;
}

void ItemWindow::UpdateButtons() {
  const bool usable = item_ && !saving_ && !reader_->closed();
  bool anyEmbedded = false;
  const std::vector<size_t> selected = SelectedAttachments();
  for (size_t i : selected) anyEmbedded = anyEmbedded || item_->attachments[i].isEmbeddedMessage();
  openButton_->setEnabled(usable && anyEmbedded);
  saveButton_->setEnabled(usable && !selected.empty());
  saveAllButton_->setEnabled(usable && !item_->attachments.empty());
  saveMsgButton_->setEnabled(usable);
}

void ItemWindow::OpenSelectedAttachments() {
  if (!item_ || reader_->closed() || !openEmbedded) return;
  for (size_t i : SelectedAttachments()) {
    const Attachment& a = item_->attachments[i];
    if (!a.isEmbeddedMessage()) continue;
    if (!a.readable) {
      Tell(QStringLiteral("The embedded message cannot be read: %1.").arg(ToQString(a.problem)));
      continue;
    }
    openEmbedded(a);
  }
}

void ItemWindow::SaveSelectedAttachments() {
  if (!item_) return;
  std::vector<Attachment> chosen;
  for (size_t i : SelectedAttachments()) chosen.push_back(item_->attachments[i]);
  if (!chosen.empty()) Save(chosen);
}

void ItemWindow::SaveAllAttachments() {
  if (item_ && !item_->attachments.empty()) Save(item_->attachments);
}

void ItemWindow::Save(const std::vector<Attachment>& attachments) {
  if (saving_) return;
  if (reader_->closed()) {
    Tell(QStringLiteral("The attachments cannot be saved: %1.").arg(QLatin1String(kClosedReason)));
    return;
  }
  const QString dir = presenter_.SelectFolder(this, QStringLiteral("Save Attachments"));
  if (dir.isEmpty()) return;
  saving_ = true;
  UpdateButtons();
  status_->setText(QStringLiteral("Saving..."));
  const QPointer<ItemWindow> self(this);
  pool_.start([self, slot = reader_, attachments, dir] {
    auto report = std::make_shared<exporting::SaveReport>();
    const bool used = slot->Use([&](content::ItemReader& reader) {
      *report = exporting::SaveAttachments(reader, attachments, PathToStd(dir), [&slot] { return slot->stopRequested(); });
    });
    if (!used) report->stopped = true;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, report, dir] {
          if (self) self->ShowSaveReport(*report, dir);
        },
        Qt::QueuedConnection);
  });
}

void ItemWindow::ShowSaveReport(const exporting::SaveReport& report, const QString& dir) {
  saving_ = false;
  status_->clear();
  UpdateButtons();
  const size_t saved = report.saved();
  QString text = saved == 1 ? QStringLiteral("1 attachment saved to %1.").arg(dir)
                            : QStringLiteral("%1 attachments saved to %2.").arg(saved).arg(dir);
  QStringList failed;
  for (const exporting::SavedFile& file : report.files) {
    if (!file.path.empty()) continue;
    const QString name = file.name.empty() ? QStringLiteral("(no name)") : ToQString(file.name);
    failed.append(QStringLiteral("%1: %2").arg(name, ToQString(file.problem)));
  }
  if (!failed.isEmpty()) text += QStringLiteral("\n\nNot saved:\n") + failed.join(QLatin1Char('\n'));
  if (report.stopped) text += QStringLiteral("\n\nSaving was stopped before the end.");
  if (!closing_) Tell(text);  // a closed window has nobody left to tell
  emit saveFinished();
}

struct ItemWindow::MsgSaved {
  std::string path;  // empty when nothing was saved
  std::string error;
  std::vector<std::string> problems;
};

void ItemWindow::SaveAsMsg() {
  if (!item_ || saving_) return;
  if (reader_->closed()) {
    Tell(QStringLiteral("The item cannot be saved: %1.").arg(QLatin1String(kClosedReason)));
    return;
  }
  const QString suggested = ToQString(content::SafeFileName(item_->subject, "item") + ".msg");
  const QString path = presenter_.SelectSaveFile(this, QStringLiteral("Save as .msg"), suggested,
                                                 QStringLiteral("Outlook item files (*.msg)"));
  if (path.isEmpty()) return;
  saving_ = true;
  UpdateButtons();
  status_->setText(QStringLiteral("Saving..."));
  const QPointer<ItemWindow> self(this);
  pool_.start([self, slot = reader_, source = source_, path] {
    auto saved = std::make_shared<MsgSaved>();
    const bool used = slot->Use([&](content::ItemReader& reader) {
      // Read again with every raw property, which the window does not keep.
      const content::ReadOptions options = exporting::MsgReadOptions();
      auto item = source.embedded ? reader.ReadEmbedded(*source.embedded, options, &saved->error)
                                  : reader.Read(source.nodeId, options, &saved->error);
      if (!item) return;
      saved->problems = item->problems;
      if (auto written = exporting::SaveMsg(reader, *item, PathToStd(path), saved->problems, &saved->error)) {
        saved->path = *written;
      }
    });
    if (!used) saved->error = kClosedReason;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, saved] {
          if (self) self->ShowMsgSaved(*saved);
        },
        Qt::QueuedConnection);
  });
}

void ItemWindow::ShowMsgSaved(const MsgSaved& saved) {
  saving_ = false;
  status_->clear();
  UpdateButtons();
  QString text;
  if (saved.path.empty()) {
    text = QStringLiteral("The item was not saved: %1.")
               .arg(ToQString(saved.error.empty() ? std::string("it cannot be read") : saved.error));
  } else {
    text = QStringLiteral("Saved as %1.").arg(ToQString(saved.path));
    QStringList missing;
    for (const auto& p : saved.problems) missing.append(ToQString(p));
    if (!missing.isEmpty()) text += QStringLiteral("\n\nWritten without:\n") + missing.join(QLatin1Char('\n'));
  }
  if (!closing_) Tell(text);
  emit saveFinished();
}

void ItemWindow::OnReaderClosed() {
  status_->setText(QStringLiteral("The recovery this item came from has been closed: what is shown stays, "
                                  "attachments can no longer be saved or opened."));
  UpdateButtons();
}

void ItemWindow::Tell(const QString& text) {
  session::Message message;
  message.caption = session::kCaption;
  message.text = text.toStdString();
  message.icon = session::MessageIcon::Information;
  message.buttons = session::MessageButtons::Ok;
  presenter_.ShowMessage(this, message);
}

}  // namespace velmorix::ui
