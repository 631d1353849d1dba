#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/file_reading.h"
#include "platform/spawn_options.h"
#include "platform/system_error.h"
#include "platform/unique_fd.h"

namespace vexa::platform {
namespace {

// A started child that has not been reaped yet. If it is abandoned (an exception between spawn
// and wait) it is killed and reaped, so no zombie or stray process outlives the call.
class SpawnedChild {
 public:
  explicit SpawnedChild(pid_t pid) : pid_(pid) {}
  ~SpawnedChild() {
    if (pid_ > 0) {
      kill();
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
  SpawnedChild(const SpawnedChild&) = delete;
  SpawnedChild& operator=(const SpawnedChild&) = delete;

  // Kills the child and its process group (the child leads it until it is reaped).
  void kill() {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
  }

  // Blocks until the child has ended; returns its wait status. Without a status there is no
  // outcome to report: when SIGCHLD is ignored the kernel reaps the child itself and waitpid
  // fails with ECHILD, which must never read as a clean exit. Throws std::system_error then.
  int wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
      if (errno != EINTR) {
        const int error = errno;
        pid_ = -1;
        throwErrno("waitpid", error);
      }
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_;
};

}  // namespace

ChildProcessResult runChildProcess(const std::filesystem::path& executable,
                                   const std::vector<std::string>& arguments,
                                   const ChildProcessOptions& options) {
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) throwErrno("pipe2");
  UniqueFd readEnd(pipeEnds[0]);
  UniqueFd writeEnd(pipeEnds[1]);

  // Descriptors 0 to 2 only: stdout becomes the pipe, stderr the null device. The child leads its
  // own process group, so that the kill at the time bound also reaches whatever the tool started
  // itself (an image tool running its extractor, for example). It dies with this process: this
  // thread waits for it below, so the thread the kernel ties it to outlives it.
  SpawnOptions spawnOptions(POSIX_SPAWN_SETPGROUP);
  spawnOptions.endWithParent();
  spawnOptions.duplicate(writeEnd.get(), STDOUT_FILENO);
  spawnOptions.open(STDERR_FILENO, "/dev/null", O_WRONLY);
  const pid_t pid = spawnOptions.spawn(executable, arguments);
  SpawnedChild child(pid);
  writeEnd.reset();  // only the child writes; end of file comes when it (and its children) close it

  ChildProcessResult result;
  const auto deadline = std::chrono::steady_clock::now() + options.timeLimit;
  char buffer[65536];
  for (;;) {
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) {
      result.timedOut = true;
      child.kill();
      break;
    }
    pollfd descriptor{readEnd.get(), POLLIN, 0};
    const int ready =
        ::poll(&descriptor, 1, static_cast<int>(std::min<std::int64_t>(remaining.count(), 60000)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throwErrno("poll");
    }
    if (ready == 0) continue;
    const std::ptrdiff_t count = readUninterrupted(readEnd.get(), buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EAGAIN) continue;
      throwErrno("read");
    }
    if (count == 0) break;
    result.standardOutput.append(buffer, static_cast<std::size_t>(count));
  }
  readEnd.reset();

  const int status = child.wait();
  result.exited = WIFEXITED(status) && !result.timedOut;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
  return result;
}

}  // namespace vexa::platform
