#include "tool_support.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace vexa::tools {

namespace fs = std::filesystem;

void complain(const std::string& tool, const std::string& message) {
  std::cerr << tool << ": " << message << '\n';
}

fs::path ownDirectory() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::current_path() : self.parent_path();
}

fs::path anchorPath() {
  return ownDirectory().parent_path() / "Resources" / "code-signing-anchor.pem";
}

int runQuietly(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> storage{program};
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The program ends with this tool however the tool ends, as the tool ends with the installer;
    // a tool already gone before the request would never send the signal.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == parent && ::dup2(STDERR_FILENO, STDOUT_FILENO) >= 0 &&
        ::close_range(STDERR_FILENO + 1, ~0U, 0) == 0)
      ::execvp(program.c_str(), argv.data());
    ::_exit(127);
  }
  if (pid < 0) {
    complain(program, std::strerror(errno));
    return -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vexa::tools
