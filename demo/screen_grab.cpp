// Saves a picture of the whole X screen named by DISPLAY as a PNG file: the demo and the
// end-to-end scenarios use it to keep what a person would have seen of the real window. A screen of
// one colour only (nothing shown on it) is still saved, but fails (status 3): the picture promised
// something to see.
//
// usage: screen_grab OUTPUT.png
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: screen_grab OUTPUT.png\n");
    return 2;
  }
  QGuiApplication application(argc, argv);
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) {
    std::fprintf(stderr, "screen_grab: no screen\n");
    return 1;
  }
  const QImage picture = screen->grabWindow(0).toImage();
  if (!picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "screen_grab: cannot write %s\n", argv[1]);
    return 1;
  }
  for (int y = 0; y < picture.height(); ++y) {
    for (int x = 0; x < picture.width(); ++x) {
      if (picture.pixel(x, y) != picture.pixel(0, 0)) return 0;
    }
  }
  std::fprintf(stderr, "screen_grab: the screen is blank (%s)\n", argv[1]);
  return 3;
}
