// The product stand-in later tests and the demo install and ask to quit.
#include <signal.h>

#include <gtest/gtest.h>

#include "tests/support/program_run.h"

namespace vexa {
namespace {

const std::filesystem::path kProgram =
    std::filesystem::path(VEXA_DEMO_PROGRAMS_DIR) / "fake_application";

TEST(FakeApplication, QuitsOnTheFirstOrSecondTerminationRequest) {
  struct Case {
    std::vector<std::string> arguments;
    testing::EnvironmentChanges environment;
    bool declinesFirst;
  } cases[] = {
      {{kProgram.string()}, {}, false},
      {{kProgram.string(), "--ignore-first-sigterm"}, {}, true},
      {{kProgram.string()}, {{"VEXA_FAKE_APPLICATION_IGNORE_FIRST_SIGTERM", "1"}}, true},
  };
  for (const Case& c : cases) {
    testing::BackgroundProgram application(kProgram, c.arguments, c.environment);
    ASSERT_EQ(application.readLine(), "ready");
    application.signal(SIGTERM);
    if (c.declinesFirst) {
      EXPECT_EQ(application.readLine(), "declined");
      application.signal(SIGTERM);
    }
    const testing::ProgramResult result = application.wait();
    EXPECT_EQ(result.exitStatus, 0) << "declines first: " << c.declinesFirst;
    EXPECT_EQ(result.terminatingSignal, 0);
  }
}

}  // namespace
}  // namespace vexa
