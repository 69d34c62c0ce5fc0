// Build-time helper: renders the application's SVG icon as a square PNG.
//   velmorix_render_icon IN.svg SIZE OUT.png
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
  if (argc != 4) {
    std::fputs("usage: velmorix_render_icon IN.svg SIZE OUT.png\n", stderr);
    return 64;
  }
  const int size = std::atoi(argv[2]);
  QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
  if (!svg.isValid() || size < 1 || size > 4096) {
    std::fprintf(stderr, "velmorix_render_icon: cannot render %s at %s\n", argv[1], argv[2]);
    return 1;
  }
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    svg.render(&painter);
  }
  if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
    std::fprintf(stderr, "velmorix_render_icon: cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
