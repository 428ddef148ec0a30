// sorv-window-grab WINDOW_ID OUT.png: writes a picture of an X window (as xwininfo lists it)
// to a PNG file. Exits 1 when the window cannot be grabbed or the picture is blank (almost
// every pixel the same colour), so that a screenshot script notices windows without content.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <map>
#include <string>

namespace {

// The share of pixels that are not the picture's most common colour.
double contentShare(const QImage& image) {
  std::map<QRgb, long> counts;
  long total = 0;
  for (int y = 0; y < image.height(); y += 2)
    for (int x = 0; x < image.width(); x += 2) {
      ++counts[image.pixel(x, y)];
      ++total;
    }
  long most = 0;
  for (const auto& [colour, n] : counts) most = std::max(most, n);
  return total ? 1.0 - static_cast<double>(most) / static_cast<double>(total) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s WINDOW_ID OUT.png\n", argv[0]);
    return 2;
  }
  QGuiApplication app(argc, argv);
  bool ok = false;
  WId window = QString::fromLatin1(argv[1]).toULongLong(&ok, 0);
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!ok || !screen) {
    std::fprintf(stderr, "no window %s or no screen\n", argv[1]);
    return 1;
  }
  QImage image = screen->grabWindow(window).toImage();
  if (image.isNull()) {
    std::fprintf(stderr, "could not grab window %s\n", argv[1]);
    return 1;
  }
  double share = contentShare(image);
  if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "could not write %s\n", argv[2]);
    return 1;
  }
  std::printf("%s: %dx%d, %.1f%% of pixels not background\n", argv[2], image.width(),
              image.height(), share * 100);
  if (share < 0.01) {
    std::fprintf(stderr, "%s is blank\n", argv[2]);
    return 1;
  }
  return 0;
}
