// A stand-in for the installed product: a desktop application that runs until it is asked to quit.
//
// It quits (status 0) on SIGTERM or SIGINT. Told to ignore the first SIGTERM, by the argument
// --ignore-first-sigterm or VEXA_FAKE_APPLICATION_IGNORE_FIRST_SIGTERM=1 in its environment, it
// behaves like an application that asks the user before quitting: the first SIGTERM is answered
// with "declined" on standard output and the program keeps running; the next one ends it.
// Once its signal handling is in place it prints "ready" and, with --pid-file PATH, writes its
// pid there, so tests can wait until it is safe to signal. Started without arguments (as the
// installer opens an application), it takes the pid file from VEXA_FAKE_APPLICATION_PID_FILE.
// Built as demo_application (VEXA_FAKE_APPLICATION_WINDOW defined), the demo's product, it also
// shows a window titled "Vexa", as the real product would, so that once it has opened there is
// something on the screen. The tests' copy stays small and free of Qt.
#include <signal.h>
#include <unistd.h>

#ifdef VEXA_FAKE_APPLICATION_WINDOW
#include <QApplication>
#include <QLabel>
#endif
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

// Returns once a signal has asked the application to quit (and it did not decline).
void waitForQuit(const sigset_t& quitSignals, bool ignoreFirstTerm) {
  int declined = 0;
  for (;;) {
    int received = 0;
    if (sigwait(&quitSignals, &received) != 0) continue;
    if (received == SIGTERM && ignoreFirstTerm && declined == 0) {
      ++declined;
      std::printf("declined\n");
      std::fflush(stdout);
      continue;
    }
    return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool ignoreFirstTerm = false;
  const char* pidFile = std::getenv("VEXA_FAKE_APPLICATION_PID_FILE");
  if (const char* value = std::getenv("VEXA_FAKE_APPLICATION_IGNORE_FIRST_SIGTERM")) {
    ignoreFirstTerm = std::strcmp(value, "1") == 0;
  }
  for (int index = 1; index < argc; ++index) {
    if (std::strcmp(argv[index], "--ignore-first-sigterm") == 0) {
      ignoreFirstTerm = true;
    } else if (std::strcmp(argv[index], "--pid-file") == 0 && index + 1 < argc) {
      pidFile = argv[++index];
    }
  }

  // Signals are taken synchronously with sigwait, so there is no handler and no race.
  sigset_t quitSignals;
  sigemptyset(&quitSignals);
  sigaddset(&quitSignals, SIGTERM);
  sigaddset(&quitSignals, SIGINT);
  sigprocmask(SIG_BLOCK, &quitSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a reader that went away must not end the application

  if (pidFile != nullptr) {
    const std::string temporary = std::string(pidFile) + ".tmp";
    if (FILE* file = std::fopen(temporary.c_str(), "we")) {
      std::fprintf(file, "%d\n", static_cast<int>(getpid()));
      std::fclose(file);
      std::rename(temporary.c_str(), pidFile);
    }
  }
  std::printf("ready\n");
  std::fflush(stdout);

#ifndef VEXA_FAKE_APPLICATION_WINDOW
  waitForQuit(quitSignals, ignoreFirstTerm);
  return 0;
#else
  // The signals stay blocked in every thread (Qt's included); this one takes them.
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);
  QLabel label(QStringLiteral("Vexa\n\nThe demo application is running."));
  label.setWindowTitle(QStringLiteral("Vexa"));
  label.setAlignment(Qt::AlignCenter);
  label.setStyleSheet(QStringLiteral("background: #f4f1ea; color: #1d2a3a; font-size: 22px;"));
  label.resize(480, 300);
  label.show();
  std::thread waiter([&] {
    waitForQuit(quitSignals, ignoreFirstTerm);
    QMetaObject::invokeMethod(&application, &QCoreApplication::quit, Qt::QueuedConnection);
  });
  const int status = application.exec();
  waiter.join();
  return status;
#endif
}
