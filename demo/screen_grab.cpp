// Saves a picture of the whole X screen named by DISPLAY as a PNG file: the demo and the
// end-to-end scenarios use it to keep what a person would have seen of the real window.
//
// usage: screen_grab OUTPUT.png
#include <QGuiApplication>
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
  if (!screen->grabWindow(0).save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "screen_grab: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
