#include "platform/spawn_options.h"

#include <signal.h>
#include <unistd.h>

#include <system_error>

extern char** environ;

namespace vexa::platform {
namespace {

void check(int error, const std::string& what) {
  if (error != 0) throw std::system_error(error, std::generic_category(), what);
}

}  // namespace

SpawnOptions::SpawnOptions(short flags) {
  check(::posix_spawnattr_init(&attributes_), "posix_spawnattr_init");
  if (int error = ::posix_spawn_file_actions_init(&actions_); error != 0) {
    ::posix_spawnattr_destroy(&attributes_);
    check(error, "posix_spawn_file_actions_init");
  }
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  ::posix_spawnattr_setsigdefault(&attributes_, &all);
  ::posix_spawnattr_setsigmask(&attributes_, &none);
  if (flags & POSIX_SPAWN_SETPGROUP) ::posix_spawnattr_setpgroup(&attributes_, 0);
  ::posix_spawnattr_setflags(
      &attributes_, static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | flags));
}

SpawnOptions::~SpawnOptions() {
  ::posix_spawn_file_actions_destroy(&actions_);
  ::posix_spawnattr_destroy(&attributes_);
}

void SpawnOptions::open(int fd, const char* path, int flags) {
  check(::posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0),
        "posix_spawn_file_actions_addopen");
}

void SpawnOptions::duplicate(int from, int to) {
  check(::posix_spawn_file_actions_adddup2(&actions_, from, to),
        "posix_spawn_file_actions_adddup2");
}

pid_t SpawnOptions::spawn(const std::filesystem::path& executable,
                          const std::vector<std::string>& arguments) {
  // Anything a library may have opened without close-on-exec stays behind as well.
  check(::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1),
        "posix_spawn_file_actions_addclosefrom_np");
  std::vector<std::string> storage{executable.string()};
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  check(::posix_spawn(&pid, storage.front().c_str(), &actions_, &attributes_, argv.data(), environ),
        storage.front());
  return pid;
}

}  // namespace vexa::platform
