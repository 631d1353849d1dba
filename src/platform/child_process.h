#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace vexa::platform {

// How a child process ended.
struct ChildProcessResult {
  // True when the child called exit (or returned from main) and `exitStatus` is its status; false
  // when a signal ended it (including the kill sent when the time bound expired).
  bool exited = false;
  int exitStatus = 0;
  bool timedOut = false;
  // Everything the child wrote to its standard output, read to the end.
  std::string standardOutput;

  [[nodiscard]] bool succeeded() const { return exited && exitStatus == 0 && !timedOut; }
};

struct ChildProcessOptions {
  // When the child has not finished within this time it is killed (SIGKILL, together with the
  // processes it started: the child leads its own process group) and reaped; the result then says
  // timedOut. Output it wrote so far is kept.
  std::chrono::milliseconds timeLimit{std::chrono::minutes(10)};
};

// Runs `executable` with `arguments` (argv[1..]; argv[0] is the executable path) as a child
// process, without a shell, and blocks until it has ended. Working directory, environment and
// standard input are inherited; standard output goes to a pipe that is read to the end before the
// child is waited for (so a child with much output never blocks on a full pipe); standard error
// goes to /dev/null. The child inherits no descriptor but 0 to 2: every descriptor this process
// opens is close-on-exec, and the spawn itself closes nothing else by accident. The child never
// outlives this process: if it is killed (SIGKILL included) while the child runs, the kernel kills
// the child too. A tool that starts programs of its own must tie them to itself in the same way.
//
// Throws std::system_error when the child cannot be started (a missing or non-executable file
// gives its errno, e.g. ENOENT or EACCES), and when its end cannot be observed (waitpid fails,
// as it does with ECHILD for a process that ignores SIGCHLD: see resetSignalDispositions). A
// child that starts and fails is a normal result.
// Thread-safe: each call owns its child and pipe.
[[nodiscard]] ChildProcessResult runChildProcess(const std::filesystem::path& executable,
                                                 const std::vector<std::string>& arguments,
                                                 const ChildProcessOptions& options = {});

}  // namespace vexa::platform
