// A window that shows one item read in full: its header fields, its body in
// each form it holds (HTML, plain text, RTF as text), its attachments with
// Save and Save All, and every property. The item is read on a pool thread
// and handed back by a queued call, so the window stays responsive; a
// window closed before its read or save ends drops the result.
#pragma once

#include <QHash>
#include <QImage>
#include <QList>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "content/item.h"

class QComboBox;
class QLabel;
class QFormLayout;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QTabWidget;
class QThreadPool;
class QTreeWidget;

namespace velmorix::exporting {
struct SaveReport;
}

namespace velmorix::ui {

class HtmlView;
class Presenter;
class ReaderSlot;

class ItemWindow : public QWidget {
  Q_OBJECT

 public:
  enum class BodyForm { Html, Plain, Rtf };

  // What the window shows: a listed item by its node, or the message
  // embedded in an attachment of another item.
  struct Source {
    uint32_t nodeId = 0;
    std::optional<content::Attachment> embedded;
  };

  ItemWindow(Presenter& presenter, QThreadPool& pool, std::shared_ptr<ReaderSlot> reader, Source source,
             QWidget* parent = nullptr);
  ~ItemWindow() override;

  const Source& source() const { return source_; }
  // The read has ended: the item, or why it could not be read, is shown.
  bool loaded() const { return loaded_; }
  // The item shown; nullptr before the read ends or when it failed.
  const content::Item* item() const { return item_ ? &*item_ : nullptr; }
  QString errorText() const { return error_; }
  bool saving() const { return saving_; }
  // The reader was closed with the recovery: attachments can no longer be
  // read, what is shown stays.
  bool readerClosed() const;

  // The body forms the item holds, in the order offered, and the one shown.
  QList<BodyForm> bodyForms() const { return forms_; }
  BodyForm bodyForm() const { return form_; }
  void ShowBodyForm(BodyForm form);

  QLabel* titleLabel() const { return title_; }
  HtmlView* htmlView() const { return html_; }
  QPlainTextEdit* textView() const { return text_; }
  QTreeWidget* attachmentList() const { return attachments_; }
  QTreeWidget* propertyList() const { return properties_; }
  QTabWidget* tabs() const { return tabs_; }
  // The header field shown under `label` ("From", "To", ...), or "".
  QString fieldText(const QString& label) const;

  // Save...: the selected attachments; Save All...: every attachment. Each
  // asks for a folder, writes on a pool thread and reports the outcome.
  void SaveSelectedAttachments();
  void SaveAllAttachments();
  // Save as .msg...: asks for a file name and writes the item as the mail
  // client's own file on a pool thread (never replacing a file), then
  // reports the outcome.
  void SaveAsMsg();
  QPushButton* saveMsgButton() const { return saveMsgButton_; }
  // Opens the selected embedded messages in windows of their own.
  void OpenSelectedAttachments();
  // Called when the recovery's data is about to be released, after the
  // reader has been closed.
  void OnReaderClosed();

  // Opens an embedded message in a new window (set by the window's owner).
  std::function<void(const content::Attachment&)> openEmbedded;

 signals:
  void itemLoaded();
  void saveFinished();
  // Ctrl+. or Alt+Right (1), Ctrl+, or Alt+Left (-1): the next or previous
  // item of the list the window was opened from is asked for. Esc and
  // Ctrl+W close the window.
  void stepRequested(int step);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Loaded {
    std::optional<content::Item> item;
    std::string error;
    QHash<QString, QImage> images;
  };
  void AddKeys();
  void StartRead();
  void ShowLoaded(Loaded loaded);
  void ShowHeader();
  void ShowAttachments();
  void ShowProperties();
  void Save(const std::vector<content::Attachment>& attachments);
  void ShowSaveReport(const exporting::SaveReport& report, const QString& dir);
  struct MsgSaved;
  void ShowMsgSaved(const MsgSaved& saved);
  void UpdateButtons();
  std::vector<size_t> SelectedAttachments() const;
  void Tell(const QString& text);

  Presenter& presenter_;
  QThreadPool& pool_;
  std::shared_ptr<ReaderSlot> reader_;
  Source source_;
  std::optional<content::Item> item_;
  QString error_;
  bool loaded_ = false;
  bool saving_ = false;
  bool closing_ = false;
  QList<BodyForm> forms_;
  BodyForm form_ = BodyForm::Plain;
  QHash<QString, QImage> images_;
  bool htmlShown_ = false;

  QLabel* title_ = nullptr;
  QFormLayout* header_ = nullptr;
  QLabel* problems_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  QLabel* formLabel_ = nullptr;
  QComboBox* formChoice_ = nullptr;
  QLabel* bodyNote_ = nullptr;
  QStackedWidget* bodyStack_ = nullptr;
  HtmlView* html_ = nullptr;
  QPlainTextEdit* text_ = nullptr;
  QWidget* attachmentPage_ = nullptr;
  QTreeWidget* attachments_ = nullptr;
  QPushButton* openButton_ = nullptr;
  QPushButton* saveButton_ = nullptr;
  QPushButton* saveAllButton_ = nullptr;
  QPushButton* saveMsgButton_ = nullptr;
  QTreeWidget* properties_ = nullptr;
  QLabel* status_ = nullptr;
};

}  // namespace velmorix::ui
