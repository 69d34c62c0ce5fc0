#include "ui/reader_hub.h"

#include <QWidget>

#include <algorithm>

#include "content/item_reader.h"
#include "session/session.h"
#include "session/session_data.h"
#include "ui/item_window.h"
#include "ui/presenter.h"
#include "ui/reader_slot.h"

namespace velmorix::ui {

ReaderHub::ReaderHub(Presenter& presenter, const session::RecoverySession& session, QWidget* owner)
    : presenter_(presenter), session_(session), owner_(owner) {
  pool_.setMaxThreadCount(4);
}

ReaderHub::~ReaderHub() {
  CloseReaders();
  for (const QPointer<ItemWindow>& window : windows_) delete window.data();
  pool_.waitForDone();
}

std::shared_ptr<ReaderSlot> ReaderHub::OpenReader(std::string* error) {
  const session::SessionData& data = session_.data();
  // The deep scan may replace the indexes while the window reads.
  const std::shared_ptr<store::StoreData> indexes = std::atomic_load(&data.storeData);
  if (session_.state() == session::SessionState::Idle || !indexes) {
    if (error) *error = "no recovery is open";
    return nullptr;
  }
  std::unique_ptr<content::ItemReader> reader =
      content::ItemReader::Open(session_.sessionPath(), indexes, data.Names(), error);
  if (!reader) return nullptr;
  auto slot = std::make_shared<ReaderSlot>(std::move(reader));
  std::erase_if(readers_, [](const std::weak_ptr<ReaderSlot>& r) { return r.expired(); });
  readers_.push_back(slot);
  return slot;
}

ItemWindow* ReaderHub::OpenItem(uint32_t nodeId) {
  for (const QPointer<ItemWindow>& window : windows_) {
    if (window && !window->source().embedded && window->source().nodeId == nodeId && !window->readerClosed() &&
        window->isVisible()) {
      window->raise();
      window->activateWindow();
      return window;
    }
  }
  std::string error;
  std::shared_ptr<ReaderSlot> reader = OpenReader(&error);
  if (!reader) {
    Tell("The item cannot be opened: " + error + ".");
    return nullptr;
  }
  return Show(std::move(reader), nodeId, nullptr);
}

ItemWindow* ReaderHub::OpenEmbedded(const content::Attachment& attachment) {
  std::string error;
  std::shared_ptr<ReaderSlot> reader = OpenReader(&error);
  if (!reader) {
    Tell("The embedded message cannot be opened: " + error + ".");
    return nullptr;
  }
  return Show(std::move(reader), 0, &attachment);
}

ItemWindow* ReaderHub::Show(std::shared_ptr<ReaderSlot> reader, uint32_t nodeId,
                            const content::Attachment* embedded) {
  ItemWindow::Source source;
  source.nodeId = nodeId;
  if (embedded) source.embedded = *embedded;
  auto* window = new ItemWindow(presenter_, pool_, std::move(reader), std::move(source));
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->openEmbedded = [this](const content::Attachment& a) { OpenEmbedded(a); };
  windows_.removeAll(nullptr);
  windows_.append(window);
  window->show();
  return window;
}

void ReaderHub::CloseReaders() {
  for (const std::weak_ptr<ReaderSlot>& weak : readers_) {
    if (std::shared_ptr<ReaderSlot> reader = weak.lock()) reader->Close();
  }
  readers_.clear();
  for (const QPointer<ItemWindow>& window : windows_) {
    if (window) window->OnReaderClosed();
  }
}

void ReaderHub::CloseWindows() {
  for (const QPointer<ItemWindow>& window : windows_) {
    if (window) window->close();
  }
}

QList<ItemWindow*> ReaderHub::windows() const {
  QList<ItemWindow*> out;
  for (const QPointer<ItemWindow>& window : windows_) {
    if (window && window->isVisible()) out.append(window.data());
  }
  return out;
}

void ReaderHub::Tell(const std::string& text) {
  session::Message message;
  message.caption = session::kCaption;
  message.text = text;
  message.icon = session::MessageIcon::Information;
  message.buttons = session::MessageButtons::Ok;
  presenter_.ShowMessage(owner_, message);
}

}  // namespace velmorix::ui
