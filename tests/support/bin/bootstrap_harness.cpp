// A test build of the installer's entry. It runs the real start-up against the bundle folder given
// as its first argument, with an application start that reports the cache folder, checks which
// descriptors a child would inherit (next to the lock's own number), and then holds the
// single-instance lock until its standard input closes. Alerts go to standard error, one line for
// the title and one for the text.
//
//   bootstrap_harness BUNDLE [ARGUMENTS...]   run the start-up; remaining arguments are the
//                                             installer's own command line
//   bootstrap_harness --list-descriptors      print the open descriptor numbers of this process

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "app/bootstrap_application.h"
#include "platform/alert_presenter.h"
#include "platform/standard_locations.h"

extern char** environ;

namespace {

class StandardErrorAlerts final : public vexa::platform::AlertPresenter {
 public:
  void present(const std::string& title, const std::string& text) override {
    std::cerr << title << '\n' << text << std::endl;
  }
};

int listDescriptors() {
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return 1;
  const int own = ::dirfd(folder);
  std::string numbers;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name == std::to_string(own)) continue;
    numbers += (numbers.empty() ? "" : " ") + name;
  }
  ::closedir(folder);
  std::cout << numbers << std::endl;
  return 0;
}

// What a child of the installer inherits, as printed by this program's own listing mode.
std::string descriptorsSeenByChild(const char* self) {
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) return "pipe failed";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  char mode[] = "--list-descriptors";
  std::string program = self;
  char* argv[] = {program.data(), mode, nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, self, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(output[1]);
  std::string text;
  char buffer[256];
  for (ssize_t count; spawned == 0 && (count = ::read(output[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(output[0]);
  int status = 0;
  if (spawned == 0) ::waitpid(pid, &status, 0);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--list-descriptors") return listDescriptors();
  if (argc < 2) return 2;
  StandardErrorAlerts alerts;
  vexa::BootstrapApplication::Services services{
      .bundle = vexa::platform::MainBundle(argv[1]),
      .cachesDirectory = vexa::platform::cachesDirectory(),
      .alerts = alerts,
      .standardOutput = std::cout,
      .startApplication =
          [&](const vexa::InstallConfiguration&, const std::filesystem::path& cache) {
            std::cout << "started " << cache.string() << std::endl;
            std::cout << "lock " << vexa::BootstrapApplication::lock() << " child descriptors "
                      << descriptorsSeenByChild("/proc/self/exe") << std::endl;
            std::string ignored;
            while (std::getline(std::cin, ignored)) {
            }
          },
  };
  std::vector<std::string> arguments{argv[0]};
  arguments.insert(arguments.end(), argv + 2, argv + argc);
  vexa::BootstrapApplication::main(arguments, services);
  return 0;
}
