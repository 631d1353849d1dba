// Child processes seen from a process of their own, for what a test cannot do to itself.
//
//   child_process_probe --start-ignoring [--reset] TOOLS_FOLDER INTACT_BUNDLE TAMPERED_BUNDLE
//     Re-executes itself with SIGCHLD, SIGTERM and SIGHUP ignored and SIGTERM blocked (all survive
//     exec, as from a careless parent); with --reset puts that right as the installer's entry does.
//     Prints "inherited N" (how much of it is left), then for a failing tool, a passing tool and
//     the exact verification of each bundle one line: "<check> accepted|failure|error".
//   child_process_probe --hold PROGRAM [ARGUMENTS...]
//     Starts PROGRAM as a BackgroundProgram, prints its pid and waits for standard input to close.
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "config/installer_failure.h"
#include "install/bundle_verification.h"
#include "platform/signal_dispositions.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/program_run.h"

static const char* outcome(const std::function<void()>& check) try {
  check();
  return "accepted";
} catch (const vexa::InstallerFailure&) {
  return "failure";
} catch (const std::exception&) {
  return "error";
}

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const int signals[] = {SIGCHLD, SIGTERM, SIGHUP};
  if (argc >= 3 && arguments[0] == "--hold") {
    vexa::testing::BackgroundProgram program(argv[2],
                                             std::vector<std::string>(argv + 2, argv + argc));
    std::cout << program.pid() << std::endl;
    std::cin.ignore(std::numeric_limits<std::streamsize>::max());
    return 0;
  }
  sigset_t blocked;
  if (argc >= 2 && arguments[0] == "--start-ignoring") {
    for (int signal : signals) ::signal(signal, SIG_IGN);
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
    ::execv("/proc/self/exe", argv + 1);  // argv[1] becomes the new argv[0]
    return 2;
  }
  const bool reset = argc == 5 && arguments[0] == "--reset";
  if (argc != 4 && !reset) return 2;
  if (reset) vexa::platform::resetSignalDispositions();
  const std::string tools = argv[argc - 3], intact = argv[argc - 2], tampered = argv[argc - 1];

  int inherited = 0;
  ::sigprocmask(SIG_SETMASK, nullptr, &blocked);
  for (int signal : signals) {
    struct sigaction action {};
    ::sigaction(signal, nullptr, &action);
    inherited += (action.sa_handler == SIG_IGN) + sigismember(&blocked, signal);
  }
  const vexa::VerificationServices services{vexa::SystemTools::inDirectory(tools),
                                            [] { return std::string("14.5.0"); }};
  const auto verify = [&](const std::string& bundle) {
    vexa::NativeInstaller::verify(bundle, vexa::testing::validProductionConfiguration(), true,
                                  services);
  };
  std::cout << "inherited " << inherited << "\nfailing-tool " << outcome([] {
    (void)vexa::NativeInstaller::run("/bin/sh", {"-c", "exit 1"});
  }) << "\npassing-tool "
            << outcome([] {
                 (void)vexa::NativeInstaller::run("/bin/sh", {"-c", "exit 0"});
               })
            << "\nintact-bundle " << outcome([&] { verify(intact); }) << "\ntampered-bundle "
            << outcome([&] { verify(tampered); }) << std::endl;
  return 0;
}
