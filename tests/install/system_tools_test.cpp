#include "install/system_tools.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <system_error>

#include "config/installer_failure.h"
#include "platform/signal_dispositions.h"
#include "platform/unique_fd.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using namespace std::chrono_literals;

const std::string kFailed =
    "failure: Installer file check failed. Check disk space and permissions, then retry.";

// The output of `script` run as a tool, "failure: <message>" or "error: <system error>".
std::string shell(const std::string& script, std::chrono::milliseconds limit = 60s,
                  const std::filesystem::path& tool = "/bin/sh") try {
  return NativeInstaller::run(tool, {"-c", script}, limit);
} catch (const InstallerFailure& failure) {
  return std::string("failure: ") + failure.what();
} catch (const std::system_error& error) {
  return "error: " + error.code().message();
}

TEST(ToolRunner, ReturnsWhatTheToolPrintsOrTheGenericFailureAndPassesNoOtherDescriptor) {
  testing::ScopedEnvironment english{{"LANGUAGE", "en_US.UTF-8"}};
  // 1 MiB, beyond the pipe buffer: the tool must not block on a full pipe.
  EXPECT_EQ(shell("head -c 1048576 /dev/zero | tr '\\0' x"), std::string(1048576, 'x'));
  EXPECT_EQ(NativeInstaller::run("/bin/sh", {"-c", "printf '%s|' \"$@\"; echo oops >&2", "sh",
                                             "a b", "'q'", "$HOME", ""}),
            "a b|'q'|$HOME||");
  EXPECT_EQ(shell("echo 'tool text'; echo 'tool error' >&2; exit 1"), kFailed);
  // A tool that cannot be launched gives the system's error, not the generic failure.
  EXPECT_EQ(shell("", 60s, "/nonexistent/tool"),
            "error: " + std::make_error_code(std::errc::no_such_file_or_directory).message());
  // Given a descriptor opened without close-on-exec (as a careless library might), the tool still
  // inherits only the standard ones.
  const platform::UniqueFd leaky(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(leaky);
  EXPECT_EQ(shell("ls /proc/$$/fd"), "0\n1\n2\n");  // ls lists its parent shell's descriptors
}

// Whether `pid` still lives (a zombie counts as gone) after up to ten seconds to finish dying.
bool alive(pid_t pid) {
  for (int attempt = 0; attempt < 1000; ++attempt, ::usleep(10000)) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat{std::istreambuf_iterator<char>(file), {}};
    if (stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z") return false;
  }
  return true;
}

TEST(ToolRunner, TimeBoundKillsAHungToolAndWhatItStarted) {
  testing::TemporaryDirectory directory;
  const std::string tool = directory / "tool", helper = directory / "helper";
  EXPECT_EQ(shell("echo $$ > " + tool + "; sleep 3600 & echo $! > " + helper + "; wait", 1000ms),
            kFailed);
  EXPECT_FALSE(alive(std::stoi(testing::readFile(tool))));
  EXPECT_FALSE(alive(std::stoi(testing::readFile(helper))));
}

TEST(ToolRunner, OutcomesSurviveAnInheritedIgnoredSigchldOnlyAfterTheReset) {
  // Given signals ignored and blocked as a careless parent passes them through exec: with SIGCHLD
  // ignored the kernel reaps every tool itself, so no outcome may then read as success.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &set, nullptr);
  for (int signal : {SIGCHLD, SIGTERM}) ::signal(signal, SIG_IGN);
  EXPECT_TRUE(shell("exit 0").starts_with("error: "));
  platform::resetSignalDispositions();
  EXPECT_EQ(shell("echo ok"), "ok\n");
  ::sigprocmask(SIG_SETMASK, nullptr, &set);
  EXPECT_FALSE(sigismember(&set, SIGTERM));
}

}  // namespace
}  // namespace vexa
