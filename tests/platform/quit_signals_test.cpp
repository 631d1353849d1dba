#include "platform/quit_signals.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "tests/support/qt_application.h"

namespace vexa::platform {
namespace {

TEST(QuitSignalWatcherTest, TurnsEachQuitSignalIntoARequestOnTheLoop) {
  testing::ensureQtApplication();
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    int requests = 0;
    QuitSignalWatcher watcher([&] { ++requests; });
    ::raise(signal);
    // The signal alone does nothing; the request arrives through the event loop.
    EXPECT_EQ(requests, 0);
    EXPECT_TRUE(testing::runEventLoopUntil([&] { return requests == 1; })) << signal;
  }
}

}  // namespace
}  // namespace vexa::platform
