#include "tests/support/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/unique_fd.h"

extern char** environ;

namespace vexa::testing {
namespace {

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

void check(bool succeeded, const std::string& what) {
  if (!succeeded) throw std::system_error(errno, std::generic_category(), what);
}

// Starts the child with stdin/stdout/stderr on the given descriptors (-1: /dev/null for stdin).
// The child is tied to the test's life: it leads its own process group (so a kill reaches what it
// starts) and gets SIGKILL when the thread that started it ends, so a test killed midway (at a
// timeout) leaves no server or display behind. Between fork and exec the child calls only
// async-signal-safe functions; everything it needs is prepared before the fork. A program that
// cannot be executed exits with 127, as a shell reports it. The caller closes the descriptors.
pid_t spawn(const std::filesystem::path& program, const std::vector<std::string>& arguments,
            const EnvironmentChanges& changes, int input, int output, int error) {
  std::vector<std::string> argumentTexts = arguments, environmentTexts;
  if (argumentTexts.empty()) argumentTexts.push_back(program.string());
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    if (!changes.contains(text.substr(0, text.find('=')))) environmentTexts.push_back(text);
  }
  for (const auto& [name, value] : changes) {
    if (value) environmentTexts.push_back(name + "=" + *value);
  }
  std::vector<char*> argv = pointers(argumentTexts), envp = pointers(environmentTexts);
  const std::string path = program.string();
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the line above; the signal would then never come.
    if (::getppid() != parent) ::_exit(127);
    ::setpgid(0, 0);
    const int in = input >= 0 ? input : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in >= 0 && ::dup2(in, 0) >= 0 && ::dup2(output, 1) >= 0 && ::dup2(error, 2) >= 0)
      ::execve(path.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  check(pid > 0, "fork");
  ::setpgid(pid, pid);  // also from this side, so an early kill reaches the group
  return pid;
}

ProgramResult reap(pid_t pid) {
  ProgramResult result;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  return result;
}

std::string readAll(int fd) {
  std::string text;
  char buffer[65536];
  for (ssize_t count;
       (count = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;)
    text.append(buffer, static_cast<std::size_t>(count));
  return text;
}

}  // namespace

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

ProgramResult runProgram(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments,
                         const EnvironmentChanges& environment) {
  // Both streams go to in-memory files, so nothing needs reading while the child runs.
  const platform::UniqueFd output(::memfd_create("stdout", MFD_CLOEXEC)),
      error(::memfd_create("stderr", MFD_CLOEXEC));
  check(output && error, "memfd_create");
  ProgramResult result =
      reap(spawn(program, arguments, environment, -1, output.get(), error.get()));
  result.standardOutput = readAll(output.get());
  result.standardError = readAll(error.get());
  return result;
}

BackgroundProgram::BackgroundProgram(const std::filesystem::path& program,
                                     const std::vector<std::string>& arguments,
                                     const EnvironmentChanges& environment) {
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  check(::pipe2(in, O_CLOEXEC) == 0, "pipe2");
  input_.reset(in[1]);
  const platform::UniqueFd childInput(in[0]);
  check(::pipe2(out, O_CLOEXEC) == 0, "pipe2");
  output_.reset(out[0]);
  const platform::UniqueFd childOutput(out[1]);
  pid_ = spawn(program, arguments, environment, childInput.get(), childOutput.get(), STDERR_FILENO);
}

BackgroundProgram::~BackgroundProgram() {
  if (!reaped_ && pid_ > 0) {
    ::kill(-pid_, SIGKILL);  // with whatever it started in its process group
    ::kill(pid_, SIGKILL);
    (void)reap(pid_);
  }
}

std::optional<std::string> BackgroundProgram::readLine(int timeoutMilliseconds) {
  std::size_t end;
  while ((end = buffered_.find('\n')) == std::string::npos) {
    pollfd descriptor{output_.get(), POLLIN, 0};
    char buffer[4096];
    ssize_t count = 0;
    if (::poll(&descriptor, 1, timeoutMilliseconds) <= 0 ||
        (count = ::read(output_.get(), buffer, sizeof buffer)) <= 0)
      return std::nullopt;
    buffered_.append(buffer, static_cast<std::size_t>(count));
  }
  std::string line = buffered_.substr(0, end);
  buffered_.erase(0, end + 1);
  return line;
}

void BackgroundProgram::signal(int signal) { ::kill(pid_, signal); }

bool BackgroundProgram::hasEnded() const {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid_;
}

ProgramResult BackgroundProgram::wait() {
  reaped_ = true;
  return reap(pid_);
}

}  // namespace vexa::testing
