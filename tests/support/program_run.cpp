#include "tests/support/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

extern char** environ;

namespace vexa::testing {
namespace {

std::vector<std::string> childEnvironment(const EnvironmentChanges& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::string name = text.substr(0, text.find('='));
    if (!changes.contains(name)) result.push_back(text);
  }
  for (const auto& [name, value] : changes) {
    if (value) result.push_back(name + "=" + *value);
  }
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

void makePipe(int ends[2]) {
  if (::pipe2(ends, O_CLOEXEC) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe2");
}

// Starts the child with stdin/stdout/stderr on the given descriptors (-1: /dev/null for stdin).
// The child is tied to the test's life: it leads its own process group (so a kill reaches what it
// starts) and gets SIGKILL when the thread that started it ends, so a test killed midway (at a
// timeout) leaves no server or display behind. Between fork and exec the child calls only
// async-signal-safe functions; everything it needs is prepared before the fork.
pid_t spawn(const std::filesystem::path& program, const std::vector<std::string>& arguments,
            const EnvironmentChanges& changes, int input, int output, int error) {
  std::vector<std::string> argumentTexts = arguments;
  if (argumentTexts.empty()) argumentTexts.push_back(program.string());
  std::vector<std::string> environmentTexts = childEnvironment(changes);
  std::vector<char*> argv = pointers(argumentTexts);
  std::vector<char*> envp = pointers(environmentTexts);
  const std::string path = program.string();
  int report[2];  // carries the exec's errno back; closed by a successful exec
  makePipe(report);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int forkError = errno;
    ::close(report[0]), ::close(report[1]);
    throw std::system_error(forkError, std::generic_category(), "fork " + path);
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the line above; the signal would then never come.
    if (::getppid() != parent) ::_exit(127);
    ::setpgid(0, 0);
    const int in = input >= 0 ? input : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(output, 1) < 0 || ::dup2(error, 2) < 0) {
      int failure = errno;
      (void)!::write(report[1], &failure, sizeof failure);
      ::_exit(127);
    }
    ::execve(path.c_str(), argv.data(), envp.data());
    int failure = errno;
    (void)!::write(report[1], &failure, sizeof failure);
    ::_exit(127);
  }
  ::setpgid(pid, pid);  // also from this side, so a kill right after the fork reaches the group
  ::close(report[1]);
  int failure = 0;
  ssize_t count;
  while ((count = ::read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (count > 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    throw std::system_error(failure, std::generic_category(), "exec " + path);
  }
  return pid;
}

void fillResult(int status, ProgramResult& result) {
  if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.terminatingSignal = WTERMSIG(status);
  }
}

}  // namespace

ProgramResult runProgram(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments,
                         const EnvironmentChanges& environment) {
  int out[2];
  int err[2];
  makePipe(out);
  makePipe(err);
  pid_t pid = -1;
  try {
    pid = spawn(program, arguments, environment, -1, out[1], err[1]);
  } catch (...) {
    ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
    throw;
  }
  ::close(out[1]);
  ::close(err[1]);
  ProgramResult result;
  pollfd descriptors[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.standardOutput, &result.standardError};
  int open = 2;
  while (open > 0) {
    if (::poll(descriptors, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (descriptors[i].fd < 0 || descriptors[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t count = ::read(descriptors[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        ::close(descriptors[i].fd);
        descriptors[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  fillResult(status, result);
  return result;
}

BackgroundProgram::BackgroundProgram(const std::filesystem::path& program,
                                     const std::vector<std::string>& arguments,
                                     const EnvironmentChanges& environment) {
  int in[2];
  int out[2];
  makePipe(in);
  makePipe(out);
  try {
    pid_ = spawn(program, arguments, environment, in[0], out[1], STDERR_FILENO);
  } catch (...) {
    ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
    throw;
  }
  ::close(in[0]);
  ::close(out[1]);
  input_ = in[1];
  output_ = out[0];
}

BackgroundProgram::~BackgroundProgram() {
  if (!reaped_ && pid_ > 0) {
    ::kill(-pid_, SIGKILL);  // with whatever it started in its process group
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (input_ >= 0) ::close(input_);
  if (output_ >= 0) ::close(output_);
}

std::optional<std::string> BackgroundProgram::readLine(int timeoutMilliseconds) {
  while (true) {
    if (const std::size_t end = buffered_.find('\n'); end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    pollfd descriptor{output_, POLLIN, 0};
    if (::poll(&descriptor, 1, timeoutMilliseconds) <= 0) return std::nullopt;
    char buffer[4096];
    const ssize_t count = ::read(output_, buffer, sizeof buffer);
    if (count <= 0) return std::nullopt;
    buffered_.append(buffer, static_cast<std::size_t>(count));
  }
}

void BackgroundProgram::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

void BackgroundProgram::signal(int signal) { ::kill(pid_, signal); }

ProgramResult BackgroundProgram::wait() {
  ProgramResult result;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  fillResult(status, result);
  return result;
}

}  // namespace vexa::testing
