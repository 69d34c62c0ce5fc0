// The reading pane below the item list: the selected item shown as its item
// window shows it (headers, bodies, attachments with Save), inside the main
// window. A new selection replaces what it shows.
#pragma once

#include <QPointer>
#include <QWidget>

#include <cstdint>

class QLabel;
class QVBoxLayout;

namespace velmorix::ui {

class ItemWindow;
class Presenter;
class ReaderHub;

class ReadingPane : public QWidget {
  Q_OBJECT

 public:
  ReadingPane(ReaderHub& readers, Presenter& presenter, QWidget* parent = nullptr);

  // Shows the item of node `nodeId`; 0 shows nothing.
  void ShowItem(uint32_t nodeId);
  void Clear() { ShowItem(0); }
  uint32_t nodeId() const { return nodeId_; }
  // The view of the item shown (nullptr when none).
  ItemWindow* view() const;

 private:
  ReaderHub& readers_;
  Presenter& presenter_;
  QVBoxLayout* layout_ = nullptr;
  QLabel* empty_ = nullptr;
  QPointer<ItemWindow> view_;
  uint32_t nodeId_ = 0;
};

}  // namespace velmorix::ui
