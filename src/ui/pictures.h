// The program's pictures, drawn from its own SVG files compiled in with Qt's
// resource system: the tree's 18 and the item list's 15 small images, the
// picture buttons, the logo and the application icon.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

namespace velmorix::ui {

inline constexpr int kTreeImageCount = 18;
inline constexpr int kListImageCount = 15;

// 16 x 16 image `index` of the tree's image list (session::TreeImage);
// a null pixmap for an index outside it.
QPixmap TreeImage(int index);
// 16 x 16 image `index` of the item list's image list (session::ListImage).
QPixmap ListImage(int index);

// A picture file under :/pictures/ (without ".svg") drawn at `size`.
QPixmap Picture(const QString& name, QSize size);
QPixmap Logo(QSize size);
QIcon AppIcon();

}  // namespace velmorix::ui
