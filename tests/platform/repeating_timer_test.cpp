#include "platform/repeating_timer.h"

#include <gtest/gtest.h>

#include "tests/support/qt_application.h"

namespace vexa::platform {
namespace {

using namespace std::chrono_literals;

// A timer stopped, or destroyed, from inside its own third tick finishes that tick and never ticks
// again.
TEST(RepeatingTimer, EndsFromInsideItsOwnTick) {
  testing::ensureQtApplication();
  for (const bool destroy : {false, true}) {
    int ticks = 0;
    std::unique_ptr<RepeatingTimer> timer;
    timer = startRepeatingTimer(1ms, [&ticks, &timer, destroy] {
      if (++ticks != 3) return;
      if (destroy) {
        timer.reset();
      } else {
        timer->stop();
      }
    });
    ASSERT_TRUE(testing::runEventLoopUntil([&] { return ticks >= 3; })) << destroy;
    testing::runEventLoopFor(50ms);
    EXPECT_EQ(ticks, 3) << destroy;
  }
}

}  // namespace
}  // namespace vexa::platform
