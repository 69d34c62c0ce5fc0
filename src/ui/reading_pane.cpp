#include "ui/reading_pane.h"

#include <QLabel>
#include <QShortcut>
#include <QVBoxLayout>

#include "ui/item_window.h"
#include "ui/reader_hub.h"
#include "ui/reader_slot.h"
#include "ui/text.h"

namespace velmorix::ui {

ReadingPane::ReadingPane(ReaderHub& readers, Presenter& presenter, QWidget* parent)
    : QWidget(parent), readers_(readers), presenter_(presenter) {
  layout_ = new QVBoxLayout(this);
  layout_->setContentsMargins(0, 0, 0, 0);
  empty_ = new QLabel(QStringLiteral("Select an item to read it here."), this);
  empty_->setAlignment(Qt::AlignCenter);
  empty_->setEnabled(false);
  layout_->addWidget(empty_);
}

ItemWindow* ReadingPane::view() const { return view_.data(); }

void ReadingPane::ShowItem(uint32_t nodeId) {
  if (nodeId == nodeId_ && (nodeId == 0 || (view_ && !view_->readerClosed()))) return;
  nodeId_ = nodeId;
  if (view_) {
    view_->hide();
    view_->deleteLater();
    view_.clear();
  }
  if (nodeId == 0) {
    empty_->setText(QStringLiteral("Select an item to read it here."));
    empty_->show();
    return;
  }
  std::string error;
  std::shared_ptr<ReaderSlot> reader = readers_.OpenReader(&error);
  if (!reader) {
    empty_->setText(QStringLiteral("The item cannot be shown: ") + ToQString(error) + QLatin1Char('.'));
    empty_->show();
    return;
  }
  empty_->hide();
  ItemWindow::Source source;
  source.nodeId = nodeId;
  view_ = new ItemWindow(presenter_, readers_.pool(), std::move(reader), std::move(source));
  view_->setParent(this, Qt::Widget);
  // The window's own keys (Esc and Ctrl+W close it, Ctrl+. steps) belong to
  // a separate item window, not to a view inside the main window.
  for (QShortcut* shortcut : view_->findChildren<QShortcut*>()) shortcut->setEnabled(false);
  view_->openEmbedded = [this](const content::Attachment& a) { readers_.OpenEmbedded(a); };
  layout_->addWidget(view_);
  view_->show();
}

}  // namespace velmorix::ui
