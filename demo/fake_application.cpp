// A stand-in for the installed product: a desktop application that runs until it is asked to quit.
//
// It quits (status 0) on SIGTERM or SIGINT. Told to ignore the first SIGTERM, by the argument
// --ignore-first-sigterm or VEXA_FAKE_APPLICATION_IGNORE_FIRST_SIGTERM=1 in its environment, it
// behaves like an application that asks the user before quitting: the first SIGTERM is answered
// with "declined" on standard output and the program keeps running; the next one ends it.
// Once its signal handling is in place it prints "ready" and, with --pid-file PATH, writes its
// pid there, so tests can wait until it is safe to signal. Started without arguments (as the
// installer opens an application), it takes the pid file from VEXA_FAKE_APPLICATION_PID_FILE.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
    return 0;
  }
}
