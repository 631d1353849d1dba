#include "install/application_quit_wait.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "platform/running_applications.h"
#include "tests/support/package_builder.h"
#include "tests/support/program_run.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

TEST(ApplicationQuitWait, FiresOnceWhenNothingRunsAndNeverAfterCancel) {
  // Steps, with the product running at first: r request(), c check(), x cancel(), q the product
  // quits, s it starts again, n the notification (once it fires) checks, requests and releases the
  // wait from inside.
  const std::tuple<const char*, int, int> cases[] = {
      // steps, termination requests, notifications
      {"qr", 0, 1},         // nothing running: fires within the call, asks nobody
      {"rcr", 2, 0},        // running: asks, keeps waiting and asks again when the user does
      {"rqcsrcqcx", 1, 1},  // fires on the first check after the product quit, then never again
      {"rxqcr", 1, 0},      // cancelled: never fires
      {"nqr", 0, 1},        // even a product running again is not asked from inside
  };
  for (const auto& [steps, terminationRequests, notifications] : cases) {
    bool running = true, reenter = false;
    int requests = 0, fired = 0;
    std::unique_ptr<ApplicationQuitWait> wait;
    const auto notify = [&] {
      ++fired;
      if (reenter) running = true, wait->check(), wait->request(), wait.reset();
    };
    wait =
        std::make_unique<ApplicationQuitWait>([&] { return running; }, [&] { ++requests; }, notify);
    for (const char* step = steps; *step != '\0' && wait; ++step) {
      if (*step == 'r') wait->request();
      if (*step == 'c') wait->check();
      if (*step == 'x') wait->cancel();
      if (*step == 'q' || *step == 's') running = *step == 's';
      if (*step == 'n') reenter = true;
    }
    EXPECT_EQ(requests, terminationRequests) << steps;
    EXPECT_EQ(fired, notifications) << steps;
    EXPECT_EQ(wait == nullptr, reenter) << steps;
  }
}

// Real instances of a fake product, started from bundles in a temporary folder.
class RunningProductTest : public ::testing::Test {
 protected:
  // Unique per test process: suites run side by side, and the demo may run a product of its own.
  const std::string identifier_ = "dev.plovik.desktop.test" + std::to_string(::getpid());

  // Starts an instance of the bundle `<identifier>.app` and waits until it takes signals.
  testing::BackgroundProgram& start(const std::string& identifier, bool declineFirstQuit = false) {
    const fs::path bundle = directory_ / (identifier + ".app");
    if (!fs::exists(bundle)) testing::makeBundle(bundle, {.identifier = identifier});
    const std::string executable = bundle / "Contents" / "MacOS" / "Vexa";
    std::vector<std::string> arguments{executable};
    if (declineFirstQuit) arguments.push_back("--ignore-first-sigterm");
    auto& program = *instances_.emplace_back(
        std::make_unique<testing::BackgroundProgram>(executable, arguments));
    EXPECT_EQ(program.readLine(), "ready");
    return program;
  }

  testing::TemporaryDirectory directory_;
  std::vector<std::unique_ptr<testing::BackgroundProgram>> instances_;
  int notifications_ = 0;
};

// Given one instance that quits at once (and then stays an unreaped zombie), one started during
// the wait that declines the first request, and another product whose identifier extends ours.
TEST_F(RunningProductTest, Request_TerminatesEveryInstanceAndWaitsUntilAllHaveQuit) {
  testing::BackgroundProgram& first = start(identifier_);
  start(identifier_ + ".helper");
  auto wait = NativeInstaller::waitForApplicationExit(identifier_, [this] { ++notifications_; });
  testing::BackgroundProgram& second = start(identifier_, true);

  wait->request();
  EXPECT_EQ(second.readLine(), "declined");
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(first.pid()), &info, WEXITED | WNOWAIT), 0);
  wait->check();
  EXPECT_EQ(notifications_, 0);

  wait->request();
  EXPECT_EQ(second.wait().exitStatus, 0);
  EXPECT_TRUE(NativeInstaller::applicationIsRunning(identifier_ + ".helper"));
  wait->check();
  EXPECT_EQ(notifications_, 1);
}

// Whether SIGTERM is pending for the whole process `pid`.
bool terminationPending(pid_t pid) {
  const std::string status = testing::readFile("/proc/" + std::to_string(pid) + "/status");
  const std::size_t field = status.find("ShdPnd:");
  return field != std::string::npos &&
         (std::stoull(status.substr(field + 7), nullptr, 16) & (1ULL << (SIGTERM - 1))) != 0;
}

TEST_F(RunningProductTest, ReusedPid_IsTerminatedAndNeverSignalled) {
  testing::BackgroundProgram& product = start(identifier_);
  const auto instances = platform::runningApplications(identifier_);
  ASSERT_EQ(instances.size(), 1u);
  EXPECT_GT(instances[0].startTime, 0u);  // clock ticks since boot; the field before is always 0
  const platform::RunningApplicationInstance earlier{product.pid(), instances[0].startTime - 1};
  // Stopped, the product leaves every SIGTERM pending where /proc shows it.
  product.signal(SIGSTOP);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(product.pid()), &info, WSTOPPED | WNOWAIT), 0);
  platform::requestTermination(earlier);
  EXPECT_FALSE(terminationPending(product.pid()));
  platform::requestTermination(instances[0]);
  EXPECT_TRUE(terminationPending(product.pid()));
}

}  // namespace
}  // namespace vexa
