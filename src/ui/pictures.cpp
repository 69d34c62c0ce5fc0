#include "ui/pictures.h"

#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

#include <array>

// Resources of a static library are registered explicitly: nothing else
// references the generated object, so the linker would drop it.
static void InitVelmorixResources() { Q_INIT_RESOURCE(velmorix); }

namespace velmorix::ui {

namespace {

constexpr std::array<const char*, kTreeImageCount> kTreeNames = {
    "closed-folder", "open-folder", "personal-folders", "calendar", "contacts",
    "deleted-items", "drafts",      "inbox",            "journal",  "junk",
    "notes",         "outbox",      "sent-items",       "tasks",    "sync-issues",
    "paper-clip",    "envelope",    "envelope-clip",
};

constexpr std::array<const char*, kListImageCount> kListNames = {
    "calendar", "contacts", "deleted-items", "drafts",     "inbox",
    "journal",  "junk",     "notes",         "outbox",     "sent-items",
    "tasks",    "sync-issues", "paper-clip", "envelope",   "envelope-clip",
};

void EnsureResources() {
  static const bool done = [] {
    InitVelmorixResources();
    return true;
  }();
  (void)done;
}

}  // namespace

QPixmap Picture(const QString& name, QSize size) {
  EnsureResources();
  static QHash<QString, QPixmap> cache;
  const QString key = QStringLiteral("%1@%2x%3").arg(name).arg(size.width()).arg(size.height());
  if (auto it = cache.constFind(key); it != cache.constEnd()) return *it;

  QSvgRenderer renderer(QStringLiteral(":/pictures/%1.svg").arg(name));
  const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
  QPixmap pixmap(size * ratio);
  pixmap.fill(Qt::transparent);
  if (renderer.isValid()) {
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    // Keep the picture's proportions, centred in the requested size.
    QSizeF box = renderer.defaultSize();
    box.scale(QSizeF(pixmap.size()), Qt::KeepAspectRatio);
    const QPointF corner((pixmap.width() - box.width()) / 2, (pixmap.height() - box.height()) / 2);
    renderer.render(&painter, QRectF(corner, box));
  }
  pixmap.setDevicePixelRatio(ratio);
  cache.insert(key, pixmap);
  return pixmap;
}

QPixmap TreeImage(int index) {
  if (index < 0 || index >= kTreeImageCount) return QPixmap();
  return Picture(QString::fromLatin1(kTreeNames[static_cast<size_t>(index)]), QSize(16, 16));
}

QPixmap ListImage(int index) {
  if (index < 0 || index >= kListImageCount) return QPixmap();
  return Picture(QString::fromLatin1(kListNames[static_cast<size_t>(index)]), QSize(16, 16));
}

QPixmap Logo(QSize size) { return Picture(QStringLiteral("logo"), size); }

QIcon AppIcon() {
  QIcon icon;
  for (int side : {16, 32, 48, 64, 128}) icon.addPixmap(Picture(QStringLiteral("velmorix"), QSize(side, side)));
  return icon;
}

}  // namespace velmorix::ui
