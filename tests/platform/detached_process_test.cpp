#include "platform/detached_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/program_run.h"
#include "tests/support/temporary_directory.h"

namespace vexa::platform {
namespace {

// Descriptors beyond the standard ones are closed by the shared spawn options, which the tool
// runner's tests cover.
TEST(DetachedProcessTest, OutlivesItsStarterInItsOwnSessionWithStandardDescriptorsOnNull) {
  testing::TemporaryDirectory folder;
  // Unlike a tool, it outlives the process that started it, even one killed at once (forked while
  // this process has one thread).
  if (::fork() == 0) {
    startDetachedProcess("/bin/sh",
                         {"-c", "sleep 0.5; echo > \"$0\"", (folder / "later").string()});
    ::raise(SIGKILL);
  }
  ::wait(nullptr);
  EXPECT_TRUE(testing::waitUntil([&] { return std::filesystem::exists(folder / "later"); }));
  const auto report = folder / "report";
  startDetachedProcess("/bin/sh",
                       {"-c",
                        "echo $$ $(cut -d' ' -f6 /proc/$$/stat) $(readlink /proc/$$/fd/1)"
                        " > \"$0.tmp\"; mv \"$0.tmp\" \"$0\"",
                        report.string()});
  ASSERT_TRUE(testing::waitUntil([&] { return std::filesystem::exists(report); }));
  std::istringstream words(testing::readFile(report));
  std::string pid, session, output;
  words >> pid >> session >> output;
  EXPECT_EQ(session, pid);
  EXPECT_EQ(output, "/dev/null");
  testing::writeFile(folder / "not-executable", "#!/bin/sh\n");
  EXPECT_THROW(startDetachedProcess(folder / "not-executable"), std::system_error);
}

}  // namespace
}  // namespace vexa::platform
