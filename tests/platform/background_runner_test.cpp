#include "platform/background_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "platform/main_thread.h"
#include "tests/support/qt_application.h"

namespace vexa::platform {
namespace {

// Work runs off the main thread and its result comes back on it; a throwing item takes nothing
// down.
TEST(BackgroundRunner, RunsOffTheMainThreadAndPostsBack) {
  testing::ensureQtApplication();
  std::atomic<bool> ranOffMain{false};
  bool cameBack = false;
  runInBackground([] { throw std::runtime_error("nobody listens"); });
  runInBackground([&] {
    ranOffMain = !isMainThread();
    postToMainThread([&] { cameBack = isMainThread(); });
  });
  ASSERT_TRUE(testing::runEventLoopUntil([&] { return cameBack; }));
  EXPECT_TRUE(ranOffMain);
}

}  // namespace
}  // namespace vexa::platform
