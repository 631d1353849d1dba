#include "platform/detached_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <system_error>
#include <thread>

#include "tests/support/temporary_directory.h"

namespace vexa::platform {
namespace {

using testing::TemporaryDirectory;

TEST(DetachedProcessTest, RunsInItsOwnSessionWithOnlyTheStandardDescriptorsOnNull) {
  TemporaryDirectory folder;
  const auto report = folder / "report";
  // The shell reports its own session, its descriptors and where its standard output goes, then
  // renames the report into place so the test never reads a half-written one.
  startDetachedProcess("/bin/sh", {"-c",
                                   "{ echo \"$$ $(cut -d' ' -f6 /proc/$$/stat)\"; ls /proc/$$/fd | tr '\\n' ' '; "
                                   "echo; readlink /proc/$$/fd/1; } > \"$0.tmp\" 2>&1 < /dev/null; mv \"$0.tmp\" \"$0\"",
                                   report.string()});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!std::filesystem::exists(report) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string text = testing::readFile(report);
  std::istringstream lines(text);
  std::string pid, session, descriptors, output;
  lines >> pid >> session;
  lines.ignore(1);
  std::getline(lines, descriptors);
  std::getline(lines, output);
  EXPECT_EQ(session, pid) << text;
  EXPECT_EQ(descriptors, "0 1 2 ") << text;
  EXPECT_EQ(output, "/dev/null") << text;
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
