#include "install/system_tools.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <system_error>

#include "config/installer_failure.h"
#include "platform/child_process.h"
#include "platform/unique_fd.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/package_builder.h"
#include "tests/support/program_run.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using namespace std::chrono_literals;

const std::string kProbe = VEXA_TEST_PROGRAMS_DIR "/child_process_probe";

std::string shell(const std::string& script,
                  std::chrono::milliseconds limit = NativeInstaller::toolTimeLimit) {
  return NativeInstaller::run("/bin/sh", {"-c", script}, limit);
}

TEST(ToolRunner, ReturnsAllOutputBeyondThePipeBuffer) {
  // Given a tool that writes 1 MiB before exiting: it must not block on a full pipe.
  const std::string output = shell("head -c 1048576 /dev/zero | tr '\\0' x");
  ASSERT_EQ(output.size(), 1048576u);
  EXPECT_EQ(output.find_first_not_of('x'), std::string::npos);
}

TEST(ToolRunner, PassesArgumentsVerbatimAndDiscardsStandardError) {
  EXPECT_EQ(NativeInstaller::run("/bin/sh", {"-c", "printf '%s|' \"$@\"; echo oops >&2", "sh",
                                             "a b", "'q'", "$HOME", ""}),
            "a b|'q'|$HOME||");
  EXPECT_EQ(shell("echo only diagnostics >&2; exit 0"), "");
}

TEST(ToolRunner, NonZeroExitOrSignalGivesTheGenericMessageInTheUsersLanguage) {
  struct Case {
    const char* language;
    const char* script;
    const char* message;
  } cases[] = {
      {"en_US.UTF-8", "echo 'tool text'; echo 'tool error' >&2; exit 1",
       "Installer file check failed. Check disk space and permissions, then retry."},
      {"zh_CN.UTF-8", "exit 1", "安装包验证或文件操作失败，请检查磁盘空间与权限后重试。"},
      {"en", "kill -TERM $$",
       "Installer file check failed. Check disk space and permissions, then retry."},
  };
  for (const Case& c : cases) {
    testing::ScopedEnvironment language{{"LANGUAGE", c.language}};
    try {
      (void)shell(c.script);
      ADD_FAILURE() << c.script << " succeeded";
    } catch (const InstallerFailure& failure) {
      EXPECT_STREQ(failure.what(), c.message);
      EXPECT_EQ(failure.reason(), InstallerFailureReason::general);
    }
  }
}

TEST(ToolRunner, LaunchFailureIsTheSystemError) {
  testing::TemporaryDirectory directory;
  testing::writeFile(directory / "not-executable", "#!/bin/sh\n");
  struct Case {
    std::filesystem::path tool;
    std::errc error;
  } cases[] = {{directory / "missing-tool", std::errc::no_such_file_or_directory},
               {directory / "not-executable", std::errc::permission_denied}};
  for (const Case& c : cases) {
    try {
      (void)NativeInstaller::run(c.tool, {});
      ADD_FAILURE() << c.tool << " ran";
    } catch (const InstallerFailure&) {
      ADD_FAILURE() << c.tool << " gave the generic failure";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::make_error_code(c.error)) << c.tool;
    }
  }
}

TEST(ToolRunner, ChildInheritsOnlyTheStandardDescriptors) {
  // Given a descriptor opened without close-on-exec (as a careless library might) and one with it.
  platform::UniqueFd leaky(::open("/dev/null", O_RDONLY));
  platform::UniqueFd careful(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(leaky && careful);
  // ls runs as the shell's child, listing the shell's own descriptors.
  const std::string listing = shell("ls /proc/$$/fd");
  EXPECT_EQ(listing, "0\n1\n2\n");
}

// Whether `pid` names a live process (a zombie awaiting its reaper counts as gone).
bool aliveNow(pid_t pid) {
  std::string stat;
  try {
    stat = testing::readFile("/proc/" + std::to_string(pid) + "/stat");
  } catch (const std::system_error&) {
    return false;
  }
  const std::size_t state = stat.rfind(')');
  return state != std::string::npos && state + 2 < stat.size() && stat[state + 2] != 'Z';
}

// A killed process may take a moment to finish dying; give it up to ten seconds.
bool alive(pid_t pid) {
  for (int attempt = 0; attempt < 1000 && aliveNow(pid); ++attempt) ::usleep(10000);
  return aliveNow(pid);
}

TEST(ToolRunner, TimeBoundKillsAHungToolAndWhatItStarted) {
  testing::TemporaryDirectory directory;
  const std::string tool = (directory / "tool").string();
  const std::string helper = (directory / "helper").string();
  // Given a tool that never finishes, waiting for a helper it started: the runner kills both at the
  // bound and reports the failure.
  EXPECT_THROW(
      (void)shell("echo $$ > " + tool + "; sleep 3600 & echo $! > " + helper + "; wait", 1000ms),
      InstallerFailure);
  EXPECT_FALSE(alive(std::stoi(testing::readFile(tool)))) << "the hung tool is still alive";
  EXPECT_FALSE(alive(std::stoi(testing::readFile(helper)))) << "the tool's helper is still alive";

  const platform::ChildProcessResult result = platform::runChildProcess(
      "/bin/sh", {"-c", "echo partial; exec sleep 3600"}, {.timeLimit = 300ms});
  EXPECT_TRUE(result.timedOut);
  EXPECT_FALSE(result.succeeded());
  EXPECT_EQ(result.standardOutput, "partial\n");
}

TEST(ToolRunner, OutcomesSurviveAnInheritedIgnoredSigchld) {
  // Given an installer started with SIGCHLD ignored, so that the kernel reaps every tool itself:
  // no tool outcome may then read as success; after the entry's reset each is the tool's own.
  testing::TemporaryDirectory directory;
  testing::TestCertificateAuthority authority;
  const testing::TrustedToolset toolset(directory.path(), authority);
  for (const char* name : {"intact", "tampered"}) {
    testing::PackageBuilder().makeBundle(directory / name / "Vexa.app", {});
    testing::PackageBuilder().sign(directory / name / "Vexa.app", authority,
                                   testing::validProductionConfiguration().teamId);
  }
  testing::writeFile(directory / "tampered/Vexa.app/Contents/Resources/added", "unsealed");
  const std::string paths[] = {toolset.tools().codesign.parent_path(),
                               directory / "intact/Vexa.app", directory / "tampered/Vexa.app"};
  EXPECT_EQ(testing::runProgram(kProbe, {kProbe, "--start-ignoring", paths[0], paths[1], paths[2]})
                .standardOutput,
            "inherited 4\nfailing-tool error\npassing-tool error\nintact-bundle "
            "error\ntampered-bundle error\n");
  EXPECT_EQ(testing::runProgram(
                kProbe, {kProbe, "--start-ignoring", "--reset", paths[0], paths[1], paths[2]})
                .standardOutput,
            "inherited 0\nfailing-tool failure\npassing-tool accepted\nintact-bundle "
            "accepted\ntampered-bundle failure\n");
}

TEST(BackgroundProgram, DiesWithTheProcessThatStartedIt) {
  // Given a test process killed midway (as at a time-out), the server it started must go too.
  testing::BackgroundProgram holder(kProbe, {kProbe, "--hold", "/bin/sleep", "3600"});
  const pid_t sleeper = std::stoi(holder.readLine().value_or("0"));
  ASSERT_TRUE(sleeper > 0 && aliveNow(sleeper));
  holder.signal(SIGKILL);
  (void)holder.wait();
  const bool survived = alive(sleeper);
  if (survived) ::kill(sleeper, SIGKILL);
  EXPECT_FALSE(survived);
}

}  // namespace
}  // namespace vexa
