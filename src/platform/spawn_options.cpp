#include "platform/spawn_options.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/system_error.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace vexa::platform {
namespace {

// Every signal blocked in the calling thread while this lives, so that no handler of this process
// runs in the child before the child has put back the default dispositions.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &saved_);
  }
  ~AllSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};

// Sends the errno of the failed step to the parent and ends the child.
[[noreturn]] void failChild(int report) {
  const int error = errno;
  (void)!::write(report, &error, sizeof error);
  ::_exit(127);
}

}  // namespace

SpawnOptions::SpawnOptions(short flags) : flags_(flags) {}

void SpawnOptions::open(int fd, const char* path, int flags) {
  actions_.push_back({fd, -1, path, flags});
}

void SpawnOptions::duplicate(int from, int to) { actions_.push_back({to, from, {}, 0}); }

pid_t SpawnOptions::spawn(const std::filesystem::path& executable,
                          const std::vector<std::string>& arguments) {
  // Everything the child uses is prepared here: between fork and exec it may not allocate.
  std::vector<std::string> storage{executable.string()};
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int reportEnds[2];
  if (::pipe2(reportEnds, O_CLOEXEC) != 0) throwErrno("pipe2");
  UniqueFd reportRead(reportEnds[0]), reportWrite(reportEnds[1]);
  const pid_t parent = ::getpid();

  pid_t pid = -1;
  {
    const AllSignalsBlocked blocked;
    pid = ::fork();
    if (pid == 0) {
      const int report = reportWrite.get();
      if (endWithParent_) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // A parent that died before the line above sends nothing: its child has been handed to
        // another process by now.
        if (::getppid() != parent) ::_exit(127);
      }
      struct sigaction defaultAction {};
      defaultAction.sa_handler = SIG_DFL;
      for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaultAction, nullptr);
      if ((flags_ & POSIX_SPAWN_SETPGROUP) && ::setpgid(0, 0) != 0) failChild(report);
      if ((flags_ & POSIX_SPAWN_SETSID) && ::setsid() < 0) failChild(report);
      for (const Action& action : actions_) {
        if (action.from == action.fd) {
          if (::fcntl(action.fd, F_SETFD, 0) != 0) failChild(report);
          continue;
        }
        const int source =
            action.from >= 0 ? action.from : ::open(action.path.c_str(), action.flags);
        if (source < 0 || (source != action.fd && ::dup2(source, action.fd) < 0)) failChild(report);
        if (action.from < 0 && source != action.fd) ::close(source);
      }
      // Whatever a library opened without close-on-exec stays behind too; the report pipe stays
      // open until the exec succeeds.
      if (::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) failChild(report);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execve(argv.front(), argv.data(), environ);
      failChild(report);
    }
  }
  if (pid < 0) throwErrno("fork");
  // From this side too, so that a kill of the group sent right away reaches the child.
  if (flags_ & POSIX_SPAWN_SETPGROUP) (void)::setpgid(pid, pid);
  reportWrite.reset();

  int error = 0;
  ssize_t count;
  while ((count = ::read(reportRead.get(), &error, sizeof error)) < 0 && errno == EINTR) {
  }
  if (count == static_cast<ssize_t>(sizeof error)) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    throwErrno(storage.front(), error);
  }
  return pid;
}

}  // namespace vexa::platform
