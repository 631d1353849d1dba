#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vexa::platform {

// How one child process is started (used inside the platform layer only). The child always starts
// with default signal dispositions and nothing blocked, whatever the calling thread has set up, and
// inherits no descriptor but 0 to 2; `flags` adds POSIX_SPAWN_SETPGROUP (the child leads a process
// group of its own) or POSIX_SPAWN_SETSID (a session of its own).
//
// The child is made with fork and set up with async-signal-safe calls only, because one thing
// posix_spawn cannot do is needed: a child that must not outlive this process (endWithParent) asks
// the kernel for SIGKILL at its parent's death before it runs the program. Every failure throws
// std::system_error. One thread.
class SpawnOptions {
 public:
  explicit SpawnOptions(short flags);
  SpawnOptions(const SpawnOptions&) = delete;
  SpawnOptions& operator=(const SpawnOptions&) = delete;

  // Descriptor `fd` of the child becomes `path` opened with `flags`.
  void open(int fd, const char* path, int flags);
  // Descriptor `to` of the child becomes a copy of this process's `from`.
  void duplicate(int from, int to);
  // The child is killed (SIGKILL) when this process ends, however it ends, and so is a child whose
  // parent is already gone by the time it is set up. The kernel ties the signal to the thread that
  // spawns, not the process: spawn from a thread that lives at least as long as the child (one
  // that waits for it).
  void endWithParent() { endWithParent_ = true; }
  // Starts `executable` with `arguments` (argv[0] is the path) and the environment inherited. A
  // program that cannot be executed, or a set-up step that fails in the child, is the error (its
  // errno and the path); the child is then reaped.
  [[nodiscard]] pid_t spawn(const std::filesystem::path& executable,
                            const std::vector<std::string>& arguments);

 private:
  struct Action {
    int fd;    // the child's descriptor
    int from;  // a descriptor of ours to copy, or -1 to open `path`
    std::string path;
    int flags;
  };

  const short flags_;
  bool endWithParent_ = false;
  std::vector<Action> actions_;
};

}  // namespace vexa::platform
