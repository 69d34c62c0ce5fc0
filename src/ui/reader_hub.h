// The readers that item windows (and exports) use over the recovery's loaded
// indexes and named-property map. Each window or job gets an ItemReader of
// its own; the hub keeps track of them all and closes every one, waiting
// for the job that is using it, before the session releases that data
// (Back, a new Start, Exit).
#pragma once

#include <QList>
#include <QPointer>
#include <QThreadPool>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "content/item.h"

class QWidget;

namespace velmorix::session {
class RecoverySession;
}

namespace velmorix::ui {

class ItemWindow;
class Presenter;
class ReaderSlot;

class ReaderHub {
 public:
  // `owner` is the window messages are shown over.
  ReaderHub(Presenter& presenter, const session::RecoverySession& session, QWidget* owner);
  // Closes every reader and every item window.
  ~ReaderHub();
  ReaderHub(const ReaderHub&) = delete;
  ReaderHub& operator=(const ReaderHub&) = delete;

  // A new reader over the session's loaded data, for a node a list row
  // shows (its data is loaded before any row is listed). nullptr, with
  // `error`, when there is no such data or the file cannot be opened.
  std::shared_ptr<ReaderSlot> OpenReader(std::string* error = nullptr);

  // Shows the item of node `nodeId`: raises the window already showing it,
  // else opens one. nullptr when no reader could be opened (the user is
  // told why).
  ItemWindow* OpenItem(uint32_t nodeId);
  // Opens a window on the message embedded in `attachment`.
  ItemWindow* OpenEmbedded(const content::Attachment& attachment);

  // Closes every reader, waiting for the jobs using them. Item windows stay
  // open with what they have read.
  void CloseReaders();
  // Closes every item window.
  void CloseWindows();

  // The item windows open now, in the order they were opened.
  QList<ItemWindow*> windows() const;
  QThreadPool& pool() { return pool_; }

 private:
  ItemWindow* Show(std::shared_ptr<ReaderSlot> reader, uint32_t nodeId, const content::Attachment* embedded);
  void Tell(const std::string& text);

  Presenter& presenter_;
  const session::RecoverySession& session_;
  QWidget* owner_;
  QThreadPool pool_;
  std::vector<std::weak_ptr<ReaderSlot>> readers_;
  QList<QPointer<ItemWindow>> windows_;
};

}  // namespace velmorix::ui
