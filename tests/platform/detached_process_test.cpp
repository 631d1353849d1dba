#include "platform/detached_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <sstream>

#include <chrono>
#include <system_error>
#include <thread>

#include "platform/unique_fd.h"
#include "tests/support/temporary_directory.h"

namespace vexa::platform {
namespace {

using testing::TemporaryDirectory;

TEST(DetachedProcessTest, RunsInItsOwnSessionWithStandardDescriptorsOnNullAndNothingElse) {
  TemporaryDirectory folder;
  const auto report = folder / "report";
  // A descriptor opened without close-on-exec, as a library might: the program must not get it.
  const UniqueFd stray(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(stray);
  const std::string strayPath = "/proc/$$/fd/" + std::to_string(stray.get());
  startDetachedProcess("/bin/sh",
                       {"-c",
                        "out=$(readlink /proc/$$/fd/1); sid=$(cut -d' ' -f6 /proc/$$/stat); "
                        "if [ -e " +
                            strayPath +
                            " ]; then stray=inherited; else stray=closed; fi; "
                            "printf '%s %s %s %s\\n' $$ \"$sid\" \"$stray\" \"$out\" > \"$0.tmp\"; "
                            "mv \"$0.tmp\" \"$0\"",
                        report.string()});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!std::filesystem::exists(report) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::istringstream words(testing::readFile(report));
  std::string pid, session, inherited, output;
  words >> pid >> session >> inherited >> output;
  EXPECT_EQ(session, pid);
  EXPECT_EQ(inherited, "closed");
  EXPECT_EQ(output, "/dev/null");
}

TEST(DetachedProcessTest, ReportsWhyAProgramCannotRun) {
  TemporaryDirectory folder;
  testing::writeFile(folder / "not-executable", "#!/bin/sh\n");
  const struct {
    std::filesystem::path program;
    int error;
  } cases[] = {{folder / "missing", ENOENT}, {folder / "not-executable", EACCES}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    try {
      startDetachedProcess(c.program);
      ADD_FAILURE() << "started";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code().value(), c.error);
      EXPECT_NE(std::string(error.what()).find(c.program.string()), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace vexa::platform
