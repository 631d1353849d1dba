#include "platform/quit_signals.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "tests/support/qt_application.h"

namespace vexa::platform {
namespace {

TEST(QuitSignalWatcherTest, TurnsEachQuitSignalIntoARequestOnTheLoopAndRestoresTheDisposition) {
  testing::ensureQtApplication();
  struct sigaction before {};
  ::sigaction(SIGTERM, nullptr, &before);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    int requests = 0;
    {
      QuitSignalWatcher watcher([&] { ++requests; });
      ::raise(signal);
      // The signal alone does nothing; the request arrives through the event loop.
      EXPECT_EQ(requests, 0);
      EXPECT_TRUE(testing::runEventLoopUntil([&] { return requests == 1; }));
    }
    struct sigaction after {};
    ::sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
  }
}

}  // namespace
}  // namespace vexa::platform
