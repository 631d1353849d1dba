#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/unique_fd.h"

extern char** environ;

namespace vexa::platform {
namespace {

[[noreturn]] void throwErrno(int error, const char* what) {
  throw std::system_error(error, std::generic_category(), what);
}

// posix_spawn's attribute and file-action objects, destroyed on every exit.
struct SpawnAttributes {
  posix_spawnattr_t value;
  SpawnAttributes() {
    if (int error = ::posix_spawnattr_init(&value); error != 0) throwErrno(error, "posix_spawnattr_init");
  }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&value); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

struct SpawnFileActions {
  posix_spawn_file_actions_t value;
  SpawnFileActions() {
    if (int error = ::posix_spawn_file_actions_init(&value); error != 0) {
      throwErrno(error, "posix_spawn_file_actions_init");
    }
  }
  ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&value); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
};

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
        throwErrno(error, "waitpid");
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
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) throwErrno(errno, "pipe2");
  UniqueFd readEnd(pipeEnds[0]);
  UniqueFd writeEnd(pipeEnds[1]);

  SpawnFileActions actions;
  // Descriptors 0 to 2 only: stdout becomes the pipe, stderr the null device, and anything a
  // library may have opened without close-on-exec is closed in the child as well.
  if (int error = ::posix_spawn_file_actions_adddup2(&actions.value, writeEnd.get(), STDOUT_FILENO); error != 0) {
    throwErrno(error, "posix_spawn_file_actions_adddup2");
  }
  if (int error = ::posix_spawn_file_actions_addopen(&actions.value, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
      error != 0) {
    throwErrno(error, "posix_spawn_file_actions_addopen");
  }
  if (int error = ::posix_spawn_file_actions_addclosefrom_np(&actions.value, STDERR_FILENO + 1); error != 0) {
    throwErrno(error, "posix_spawn_file_actions_addclosefrom_np");
  }

  SpawnAttributes attributes;
  // The child starts with default signal dispositions and nothing blocked, whatever the calling
  // thread (a worker of the thread pool) has set up.
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  ::posix_spawnattr_setsigdefault(&attributes.value, &all);
  ::posix_spawnattr_setsigmask(&attributes.value, &none);
  // Its own process group, so that the kill at the time bound also reaches whatever the tool
  // started itself (an image tool running its extractor, for example).
  ::posix_spawnattr_setpgroup(&attributes.value, 0);
  ::posix_spawnattr_setflags(&attributes.value,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> argvStorage;
  argvStorage.reserve(arguments.size() + 1);
  argvStorage.push_back(executable.string());
  argvStorage.insert(argvStorage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : argvStorage) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  if (int error = ::posix_spawn(&pid, argvStorage.front().c_str(), &actions.value, &attributes.value, argv.data(),
                                environ);
      error != 0) {
    throwErrno(error, argvStorage.front().c_str());
  }
  SpawnedChild child(pid);
  writeEnd.reset();  // only the child writes; end of file comes when it (and its children) close it

  ChildProcessResult result;
  const auto deadline = std::chrono::steady_clock::now() + options.timeLimit;
  char buffer[65536];
  for (;;) {
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) {
      result.timedOut = true;
      child.kill();
      break;
    }
    pollfd descriptor{readEnd.get(), POLLIN, 0};
    const int ready = ::poll(&descriptor, 1, static_cast<int>(std::min<std::int64_t>(remaining.count(), 60000)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno, "poll");
    }
    if (ready == 0) continue;
    const ssize_t count = ::read(readEnd.get(), buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throwErrno(errno, "read");
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
