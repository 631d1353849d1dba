#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vexa::platform {

// The options of one posix_spawn, owned for the length of the call (used inside the platform layer
// only). The child always starts with default signal dispositions and nothing blocked, whatever the
// calling thread has set up; `flags` adds POSIX_SPAWN_SETPGROUP or POSIX_SPAWN_SETSID. Every
// failure throws std::system_error. One thread.
class SpawnOptions {
 public:
  explicit SpawnOptions(short flags);
  ~SpawnOptions();
  SpawnOptions(const SpawnOptions&) = delete;
  SpawnOptions& operator=(const SpawnOptions&) = delete;

  // Descriptor `fd` of the child becomes `path` opened with `flags`.
  void open(int fd, const char* path, int flags);
  // Descriptor `to` of the child becomes a copy of this process's `from`.
  void duplicate(int from, int to);
  // Starts `executable` with `arguments` (argv[0] is the path), the environment inherited and every
  // descriptor above 2 closed in the child. A program that cannot be executed is the error (errno
  // and the path); glibc reports the failed exec as the result.
  [[nodiscard]] pid_t spawn(const std::filesystem::path& executable,
                            const std::vector<std::string>& arguments);

 private:
  posix_spawnattr_t attributes_;
  posix_spawn_file_actions_t actions_;
};

}  // namespace vexa::platform
