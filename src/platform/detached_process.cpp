#include "platform/detached_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/spawn_options.h"

namespace vexa::platform {

void startDetachedProcess(const std::filesystem::path& executable,
                          const std::vector<std::string>& arguments) {
  SpawnOptions options(POSIX_SPAWN_SETSID);
  options.open(STDIN_FILENO, "/dev/null", O_RDONLY);
  options.open(STDOUT_FILENO, "/dev/null", O_WRONLY);
  options.open(STDERR_FILENO, "/dev/null", O_WRONLY);
  const pid_t pid = options.spawn(executable, arguments);
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

}  // namespace vexa::platform
