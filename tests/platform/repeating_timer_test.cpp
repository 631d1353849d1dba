#include "platform/repeating_timer.h"

#include <gtest/gtest.h>

#include "tests/support/qt_application.h"

namespace vexa::platform {
namespace {

using namespace std::chrono_literals;

// A timer stopped from inside its own third tick finishes that tick and never ticks again (the
// quit wait stops its timer so, and releases it later on the loop).
TEST(RepeatingTimer, StopsFromInsideItsOwnTick) {
  testing::ensureQtApplication();
  int ticks = 0;
  std::unique_ptr<RepeatingTimer> timer;
  timer = startRepeatingTimer(1ms, [&] {
    if (++ticks == 3) timer->stop();
  });
  ASSERT_TRUE(testing::runEventLoopUntil([&] { return ticks >= 3; }));
  testing::runEventLoopFor(50ms);
  EXPECT_EQ(ticks, 3);
}

}  // namespace
}  // namespace vexa::platform
