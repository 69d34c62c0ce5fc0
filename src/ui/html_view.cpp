#include "ui/html_view.h"

namespace velmorix::ui {

QString SafeDocument::InlineKey(const QString& idOrLocation) {
  QString key = idOrLocation.trimmed();
  if (key.startsWith(QLatin1Char('<')) && key.endsWith(QLatin1Char('>'))) key = key.mid(1, key.size() - 2);
  return key.toCaseFolded();
}

QVariant SafeDocument::loadResource(int type, const QUrl& name) {
  requests_.append(name);
  if (type != QTextDocument::ImageResource) return {};
  QString key;
  if (name.scheme().compare(QLatin1String("cid"), Qt::CaseInsensitive) == 0) {
    key = name.path(QUrl::FullyDecoded);
  } else if (name.scheme().isEmpty() && name.host().isEmpty()) {
    key = name.path(QUrl::FullyDecoded);  // a relative name: a content location
  } else {
    return {};
  }
  auto it = images_.constFind(InlineKey(key));
  if (it == images_.constEnd()) return {};
  return *it;
}

HtmlView::HtmlView(QWidget* parent) : QTextBrowser(parent), document_(new SafeDocument(this)) {
  setDocument(document_);
  setOpenLinks(false);
  setOpenExternalLinks(false);
  setUndoRedoEnabled(false);
  setReadOnly(true);
  setTextInteractionFlags(Qt::TextBrowserInteraction);
}

void HtmlView::ShowHtml(const QString& html, QHash<QString, QImage> images) {
  document_->SetInlineImages(std::move(images));
  document_->setHtml(html);
  moveCursor(QTextCursor::Start);
}

QVariant HtmlView::loadResource(int, const QUrl&) { return {}; }

}  // namespace velmorix::ui
