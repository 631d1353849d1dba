#include "platform/detached_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

extern char** environ;

namespace vexa::platform {
namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// posix_spawn's two option objects, destroyed on every exit.
struct SpawnOptions {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  SpawnOptions() {
    if (int error = ::posix_spawnattr_init(&attributes); error != 0) fail(error, "posix_spawnattr_init");
    if (int error = ::posix_spawn_file_actions_init(&actions); error != 0) {
      ::posix_spawnattr_destroy(&attributes);
      fail(error, "posix_spawn_file_actions_init");
    }
  }
  ~SpawnOptions() {
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
  }
  SpawnOptions(const SpawnOptions&) = delete;
  SpawnOptions& operator=(const SpawnOptions&) = delete;
};

}  // namespace

void startDetachedProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments) {
  SpawnOptions options;
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    const int flags = fd == STDIN_FILENO ? O_RDONLY : O_WRONLY;
    if (int error = ::posix_spawn_file_actions_addopen(&options.actions, fd, "/dev/null", flags, 0); error != 0) {
      fail(error, "posix_spawn_file_actions_addopen");
    }
  }
  if (int error = ::posix_spawn_file_actions_addclosefrom_np(&options.actions, STDERR_FILENO + 1); error != 0) {
    fail(error, "posix_spawn_file_actions_addclosefrom_np");
  }
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  ::posix_spawnattr_setsigdefault(&options.attributes, &all);
  ::posix_spawnattr_setsigmask(&options.attributes, &none);
  ::posix_spawnattr_setflags(&options.attributes,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);

  std::vector<std::string> storage{executable.string()};
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);

  // glibc's posix_spawn waits until the exec has happened and reports its failure as the result,
  // so a program that cannot run is an error here rather than a child that exits with 127.
  pid_t pid = 0;
  if (int error = ::posix_spawn(&pid, storage.front().c_str(), &options.actions, &options.attributes, argv.data(),
                                environ);
      error != 0) {
    fail(error, executable.string());
  }
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

}  // namespace vexa::platform
