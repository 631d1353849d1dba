#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace vexa::testing {

// Environment changes for a child: a value sets the variable, nullopt removes it; everything else
// is inherited from the test process.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

struct ProgramResult {
  int exitStatus = -1;  // the exit code, or -1 when the child died of a signal
  std::string standardOutput;
  std::string standardError;
};

// Polls `done` every 100 ms until it holds (true) or `limit` has passed (false).
[[nodiscard]] bool waitUntil(const std::function<bool()>& done,
                             std::chrono::milliseconds limit = std::chrono::seconds(60));

// Every child started here lives no longer than the test: it is killed (SIGKILL) when the thread
// that started it ends, however the test process ends (a timeout's kill included). So start a
// child on the thread that outlives its use, normally the test's own. Each child leads its own
// process group.

// Runs `program` with `arguments` (argv[0] is the program path) to completion, capturing both
// output streams; a program that cannot be executed exits with 127. Throws std::system_error when
// no child can be made.
[[nodiscard]] ProgramResult runProgram(const std::filesystem::path& program,
                                       const std::vector<std::string>& arguments,
                                       const EnvironmentChanges& environment = {});

// A child that keeps running while a test does other things: its stdin is a pipe (closed when the
// object goes) and its stdout can be read line by line. The destructor kills (SIGKILL) and reaps a
// child that is still running.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                    const EnvironmentChanges& environment = {});
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  // The next line of standard output (without the line feed); nullopt at end of output or when
  // nothing arrives within the timeout.
  [[nodiscard]] std::optional<std::string> readLine(int timeoutMilliseconds = 20000);
  // Sends `signal`.
  void signal(int signal);
  // Whether the child has exited; it stays to be reaped by wait().
  [[nodiscard]] bool hasEnded() const;
  // Waits for the child to exit and returns what waitpid reported, as in ProgramResult.
  ProgramResult wait();

 private:
  pid_t pid_ = -1;
  platform::UniqueFd input_;
  platform::UniqueFd output_;
  std::string buffered_;
  bool reaped_ = false;
};

}  // namespace vexa::testing
