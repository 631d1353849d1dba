// Child processes seen from a process of their own, for what a test cannot do to itself.
//
//   child_process_probe --start-ignoring [--reset] TOOLS_FOLDER INTACT_BUNDLE TAMPERED_BUNDLE
//   child_process_probe --hold PROGRAM [ARGUMENTS...]
//
// The first runs system tools through the installer's own runner and verifies two bundles
// exactly, printing one line per check: "<check> accepted", "<check> failure" (an
// InstallerFailure) or "<check> error" (any other error), to show that a tool's outcome is never
// lost to the signal state the installer was started with. --start-ignoring re-executes the probe with SIGCHLD, SIGTERM and SIGHUP ignored and SIGTERM
// blocked, as a careless parent would start the installer (both survive exec). --reset then puts
// the signal state in order the way the installer's entry does, before any check runs; the probe
// also reports how many of those signals are still ignored or blocked ("inherited N").
//
// The second starts PROGRAM as a test's BackgroundProgram, prints its pid and waits until its own
// standard input closes, so a test can kill this process and look for the program.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "config/installer_failure.h"
#include "install/bundle_verification.h"
#include "platform/signal_dispositions.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/program_run.h"

namespace {

void report(const std::string& check, void (*action)(char**), char** paths) {
  std::string outcome = "accepted";
  try {
    action(paths);
  } catch (const vexa::InstallerFailure&) {
    outcome = "failure";
  } catch (const std::exception&) {
    outcome = "error";
  }
  std::cout << check << ' ' << outcome << std::endl;
}

void verify(char** paths, const char* bundle) {
  const vexa::VerificationServices services{vexa::SystemTools::inDirectory(paths[0]), [] { return std::string("14.5.0"); }};
  vexa::NativeInstaller::verify(bundle, vexa::testing::validProductionConfiguration(), true, services);
}

int inheritedCount() {
  sigset_t blocked;
  ::sigprocmask(SIG_SETMASK, nullptr, &blocked);
  int count = 0;
  for (int signal : {SIGCHLD, SIGTERM, SIGHUP}) {
    struct sigaction action {};
    ::sigaction(signal, nullptr, &action);
    count += (action.sa_handler == SIG_IGN) + sigismember(&blocked, signal);
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--hold") {
    vexa::testing::BackgroundProgram program(argv[2], std::vector<std::string>(argv + 2, argv + argc));
    std::cout << program.pid() << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
    }
    return 0;
  }
  if (argc >= 2 && std::string(argv[1]) == "--start-ignoring") {
    for (int signal : {SIGCHLD, SIGTERM, SIGHUP}) ::signal(signal, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
    argv[1] = argv[0];
    ::execv("/proc/self/exe", argv + 1);
    return 2;
  }
  int first = 1;
  if (argc >= 2 && std::string(argv[1]) == "--reset") {
    vexa::platform::resetSignalDispositions();
    first = 2;
  }
  if (argc - first != 3) {
    std::cerr << "usage: child_process_probe --start-ignoring [--reset] TOOLS_FOLDER INTACT_BUNDLE TAMPERED_BUNDLE\n";
    return 2;
  }
  char** paths = argv + first;
  std::cout << "inherited " << inheritedCount() << std::endl;
  report("failing-tool", [](char**) { (void)vexa::NativeInstaller::run("/bin/sh", {"-c", "exit 1"}); }, paths);
  report("passing-tool", [](char**) { (void)vexa::NativeInstaller::run("/bin/sh", {"-c", "exit 0"}); }, paths);
  report("intact-bundle", [](char** p) { verify(p, p[1]); }, paths);
  report("tampered-bundle", [](char** p) { verify(p, p[2]); }, paths);
  return 0;
}
