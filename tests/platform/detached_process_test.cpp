#include "platform/detached_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "platform/unique_fd.h"
#include "tests/support/temporary_directory.h"

namespace vexa::platform {
namespace {

TEST(DetachedProcessTest, RunsInItsOwnSessionWithStandardDescriptorsOnNullAndNothingElse) {
  testing::TemporaryDirectory folder;
  const auto report = folder / "report";
  // A descriptor opened without close-on-exec, as a library might: the program must not get it.
  const UniqueFd stray(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(stray);
  startDetachedProcess(
      "/bin/sh", {"-c",
                  "test -e /proc/$$/fd/" + std::to_string(stray.get()) +
                      " && s=inherited || s=closed; echo $$ $(cut -d' ' -f6 /proc/$$/stat) $s "
                      "$(readlink /proc/$$/fd/1) > \"$0.tmp\"; mv \"$0.tmp\" \"$0\"",
                  report.string()});
  for (int i = 0; i < 1000 && !std::filesystem::exists(report); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::istringstream words(testing::readFile(report));
  std::string pid, session, inherited, output;
  words >> pid >> session >> inherited >> output;
  EXPECT_EQ(session, pid);
  EXPECT_EQ(inherited, "closed");
  EXPECT_EQ(output, "/dev/null");

  testing::writeFile(folder / "not-executable", "#!/bin/sh\n");
  try {
    startDetachedProcess(folder / "not-executable");
    ADD_FAILURE() << "a file without execute permission started";
  } catch (const std::system_error& failure) {
    EXPECT_EQ(failure.code().value(), EACCES);
    EXPECT_NE(std::string(failure.what()).find("not-executable"), std::string::npos);
  }
}

}  // namespace
}  // namespace vexa::platform
