// The installer window while its progress bar animates (the checking screen), on the display in
// DISPLAY. Prints, for `seconds` of animation and then `seconds` minimized:
//   frames_per_second        repaints of the bar per second (the animation runs at 25)
//   cpu_percent_of_core      user + system CPU time of the whole process / wall time, in %
//   cpu_vs_floor             that CPU time / the CPU time of the cheapest animation of the same
//                            area (a plain widget filling a 480 x 10 rectangle 25 times a second)
//                            measured in the same run
//   main_wakes_per_frame     the main thread's voluntary context switches (each one a sleep that
//                            ended) per repaint of the bar: 1 means one wake per frame
//   minimized_wakes_per_second  the main thread's wakes per second while the window is minimized
// Around each measured stretch it touches the marker paths "/vexa-bench-mark-begin" and
// "/vexa-bench-mark-end", so that a system-call trace of the run can tell which file calls fall
// inside it (see window_idle_bench.sh).
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPainter>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "config/install_configuration.h"
#include "platform/gui_application.h"
#include "platform/main_bundle.h"
#include "ui/installer_progress.h"
#include "ui/installer_window.h"

namespace {

struct Sample {
  double cpuSeconds = 0;
  long wakes = 0;
  qint64 wallMs = 0;
};

double seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

Sample sample(const QElapsedTimer& clock) {
  rusage process{}, thread{};
  getrusage(RUSAGE_SELF, &process);
  getrusage(RUSAGE_THREAD, &thread);
  return {seconds(process.ru_utime) + seconds(process.ru_stime), thread.ru_nvcsw, clock.elapsed()};
}

void runFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

void mark(const char* path) { (void)::access(path, F_OK); }

class FrameCounter : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++frames;
    return false;
  }
  long frames = 0;
};

class FloorBar : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(65, 118, 230));
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int ms = argc > 1 ? std::atoi(argv[1]) * 1000 : 5000;
  // As the installer makes its application object (display choice and its settings).
  vexa::platform::GuiApplication gui(argc, argv);
  gui.application();
  vexa::InstallConfiguration configuration;
  configuration.productName = "Vexa";
  vexa::InstallerWindow window(configuration, {.bundle = vexa::platform::MainBundle::current()});
  FrameCounter counter;
  window.progress()->installEventFilter(&counter);
  window.show();
  window.working("Checking…", "", std::nullopt);
  runFor(1000);  // settle: mapped, first paints done

  QElapsedTimer clock;
  clock.start();
  mark("/vexa-bench-mark-begin");
  const long framesBefore = counter.frames;
  const Sample before = sample(clock);
  runFor(ms);
  const Sample after = sample(clock);
  mark("/vexa-bench-mark-end");
  const double wall = double(after.wallMs - before.wallMs) / 1000;
  const long frames = counter.frames - framesBefore;

  // The floor: the cheapest animation of the same area, a plain widget filling a 480 x 10 rectangle
  // 25 times a second in a window of the same size.
  window.hide();
  QWidget reference;
  reference.resize(800, 600);
  FloorBar bar(&reference);
  bar.setGeometry(160, 444, 480, 10);
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, &bar, qOverload<>(&QWidget::update));
  tick.start(40);
  reference.show();
  runFor(1000);
  const Sample floorBefore = sample(clock);
  runFor(ms);
  const Sample floorAfter = sample(clock);
  reference.hide();
  tick.stop();

  window.show();
  window.showMinimized();
  runFor(500);
  const Sample minimizedBefore = sample(clock);
  runFor(ms);
  const Sample minimizedAfter = sample(clock);

  std::printf("frames_per_second %.1f\n", double(frames) / wall);
  std::printf("cpu_percent_of_core %.3f\n", (after.cpuSeconds - before.cpuSeconds) / wall * 100);
  std::printf("cpu_vs_floor %.2f\n", (after.cpuSeconds - before.cpuSeconds) /
                                         (floorAfter.cpuSeconds - floorBefore.cpuSeconds));
  std::printf("main_wakes_per_frame %.2f\n",
              frames > 0 ? double(after.wakes - before.wakes) / double(frames) : 0.0);
  std::printf("minimized_wakes_per_second %.1f\n",
              double(minimizedAfter.wakes - minimizedBefore.wakes) /
                  (double(minimizedAfter.wallMs - minimizedBefore.wallMs) / 1000));
  return 0;
}
