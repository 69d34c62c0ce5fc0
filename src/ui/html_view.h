// A view of an item's HTML body that loads nothing: no remote address, no
// local file, no style sheet. Qt's rich-text engine runs no scripts and
// shows no form controls; every resource it asks for comes through
// SafeDocument, which answers only with the item's own inline pictures
// (named by "cid:" or by their content location). Links are not followed.
#pragma once

#include <QHash>
#include <QImage>
#include <QList>
#include <QTextBrowser>
#include <QTextDocument>
#include <QUrl>

namespace velmorix::ui {

class SafeDocument : public QTextDocument {
  Q_OBJECT

 public:
  explicit SafeDocument(QObject* parent = nullptr) : QTextDocument(parent) {}

  // Pictures served for "cid:" addresses and content locations, keyed by
  // InlineKey().
  void SetInlineImages(QHash<QString, QImage> images) { images_ = std::move(images); }
  // Every resource the document asked for, in order (served or not).
  const QList<QUrl>& requests() const { return requests_; }

  // The key under which a content id ("<img1@x>") or content location
  // ("img1.png") is served.
  static QString InlineKey(const QString& idOrLocation);

 protected:
  QVariant loadResource(int type, const QUrl& name) override;

 private:
  QHash<QString, QImage> images_;
  QList<QUrl> requests_;
};

class HtmlView : public QTextBrowser {
  Q_OBJECT

 public:
  explicit HtmlView(QWidget* parent = nullptr);

  void ShowHtml(const QString& html, QHash<QString, QImage> images);
  SafeDocument* safeDocument() const { return document_; }

 protected:
  // The browser's own loader (used for link targets) loads nothing either.
  QVariant loadResource(int type, const QUrl& name) override;

 private:
  SafeDocument* document_;
};

}  // namespace velmorix::ui
