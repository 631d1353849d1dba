#include "install/install_procedure.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <set>

#include "config/installer_failure.h"
#include "platform/unique_fd.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/package_builder.h"
#include "tests/support/program_run.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPrefix = ".vexa-install-dev.plovik.desktop-";
constexpr const char* kInstalled = "(installed)";
constexpr const char* kFileCheck =
    "Installer file check failed. Check disk space and permissions, then retry.";
constexpr auto kCopyAll = fs::copy_options::recursive | fs::copy_options::copy_symlinks;
constexpr uid_t kNobody = 65534;

// The names in `folder` that start with `prefix`.
std::set<std::string> entries(const fs::path& folder, const std::string& prefix = "") {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().filename().string().starts_with(prefix)) names.insert(entry.path().filename());
  return names;
}

void changeOwner(const fs::path& root, uid_t user) {
  ASSERT_EQ(::lchown(root.c_str(), user, user), 0);
  if (fs::is_directory(fs::symlink_status(root)))
    for (const auto& entry : fs::recursive_directory_iterator(root))
      ASSERT_EQ(::lchown(entry.path().c_str(), user, user), 0);
}

// The processes alive (zombies do not count) whose environment holds `marker`.
std::vector<pid_t> processesMarked(const std::string& marker) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream environment(entry.path() / "environ"), stat(entry.path() / "stat");
    const std::string variables{std::istreambuf_iterator<char>(environment), {}},
        status{std::istreambuf_iterator<char>(stat), {}};
    if (variables.find(marker + '\0') != std::string::npos && !status.empty() &&
        status.substr(status.rfind(')') + 2, 1) != "Z")
      found.push_back(std::stoi(name));
  }
  return found;
}

// Given signed bundles of the release (packaged, with a few megabytes of resources so that tools
// take a moment), an older and a newer one, tools that trust them and stand-ins in front of them
// that log every call (and kill the installer where a case asks), a private temporary folder and
// an install folder; installs in child processes run as the unprivileged user when root can
// switch to one, the owner of both folders.
class InstallProcedureTest : public ::testing::Test {
 protected:
  InstallProcedureTest() {
    fs::permissions(directory_.path(), fs::perms::others_exec, fs::perm_options::add);
    const std::tuple<fs::path, const char*, const char*> releases[] = {
        {release_, "1.4.0-beta.57", "57"}, {older_, "1.3.0", "50"}, {newer_, "1.5.0", "60"}};
    for (const auto& [bundle, version, build] : releases) {
      testing::makeBundle(bundle,
                          {.shortVersion = version, .buildText = build, .nestedBundle = true});
      if (bundle == release_)
        testing::writeFile(bundle / "Contents/Resources/model.bin", std::string(8 << 20, 'v'));
      testing::signBundle(bundle, authority_, "QX7RZ2M4KD");
    }
    testing::makeImage(release_.parent_path(), package_);
    const std::string bytes = testing::readFile(package_);
    configuration_ = testing::withPackage(testing::validProductionConfiguration(),
                                          static_cast<std::int64_t>(bytes.size()),
                                          testing::referenceSha256(bytes));
    fs::create_directories(temporary_);
    fs::create_directories(parent_);
    if (::getuid() == 0) {
      changeOwner(temporary_, kNobody);
      changeOwner(parent_, kNobody);
    }
    const fs::path real = tools_.hdiutil.parent_path();
    for (const char* name : {"hdiutil", "ditto", "codesign", "spctl", "lipo"}) {
      testing::writeFile(directory_ / "wrappers" / name, R"sh(#!/bin/sh
tool=${0##*/}
echo "$tool $1" >> "$STAND_IN_LOG"
if [ "$(wc -l < "$STAND_IN_LOG")" = "$KILL_AT" ]; then
  case $KILL_HOW in
    now) kill -9 $PPID; exec sleep 60 ;;
    partial) mkdir -p "$2/Contents" && echo partial > "$2/Contents/Info.plist"
             chmod a-w "$2/Contents"; kill -9 $PPID; exec sleep 60 ;;
    *) (sleep "$KILL_HOW"; kill -9 $PPID) & ;;
  esac
fi
exec ")sh" + real.string() + R"sh(/$tool" "$@"
)sh");
      fs::permissions(directory_ / "wrappers" / name, static_cast<fs::perms>(0755));
    }
    fs::create_directories(log_.parent_path());
    fs::permissions(log_.parent_path(), fs::perms::all);
    environment_.set("TMPDIR", temporary_.string());
  }

  struct Run {
    pid_t pid;
    platform::UniqueFd outcome;
  };

  // Starts NativeInstaller::install of the package into the install folder in a child process
  // (killed if this test ends first) that has `environment` and the marker added, and the product
  // not running.
  Run start(const SystemTools& tools, const testing::EnvironmentChanges& environment = {}) {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::setenv("VEXA_INSTALL_TEST", marker_.substr(marker_.find('=') + 1).c_str(), 1);
      for (const auto& [name, value] : environment) ::setenv(name.c_str(), value->c_str(), 1);
      if (::getuid() == 0 &&
          (::setresgid(kNobody, kNobody, kNobody) != 0 || ::setresuid(kNobody, kNobody, kNobody)))
        ::_exit(1);
      std::string outcome = kInstalled;
      try {
        (void)NativeInstaller::install(package_, parent_, configuration_, std::nullopt,
                                       [](const std::string&) { return false; }, {tools});
      } catch (const std::exception& failure) {
        outcome = failure.what();
      }
      (void)!::write(ends[1], outcome.data(), outcome.size());
      ::_exit(0);
    }
    ::close(ends[1]);
    return {pid, platform::UniqueFd(ends[0])};
  }

  // The outcome of `run` once it has ended: kInstalled, the failure's message, or "(killed)".
  // Counts in toolsLeft_ the processes it started that are still alive a second after its end; it
  // is reaped only then, so a delayed kill can never reach another process under its number.
  std::string finish(Run run) {
    std::string text;
    char buffer[4096];
    for (ssize_t count; (count = ::read(run.outcome.get(), buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(count));
    siginfo_t end{};
    ::waitid(P_PID, static_cast<id_t>(run.pid), &end, WEXITED | WNOWAIT);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!processesMarked(marker_).empty() && std::chrono::steady_clock::now() < deadline)
      ::usleep(10000);
    toolsLeft_ += static_cast<int>(processesMarked(marker_).size());
    ::waitpid(run.pid, nullptr, 0);
    return end.si_code == CLD_KILLED ? "(killed)" : text;
  }

  [[nodiscard]] std::string versionAt(const fs::path& bundle) const {
    return NativeInstaller::metadata(bundle).at("CFBundleShortVersionString").text();
  }

  const testing::TemporaryDirectory directory_;
  const testing::TestCertificateAuthority authority_;
  const fs::path release_ = directory_ / "volume/Vexa.app", older_ = directory_ / "older/Vexa.app",
                 newer_ = directory_ / "newer/Vexa.app", package_ = directory_ / "Vexa.app.dmg",
                 parent_ = directory_ / "Applications", target_ = parent_ / "Vexa.app",
                 temporary_ = directory_ / "tmp", log_ = directory_ / "log/stand-ins";
  const std::string marker_ = "VEXA_INSTALL_TEST=" + std::to_string(::getpid());
  InstallConfiguration configuration_;
  int toolsLeft_ = 0;
  const SystemTools tools_ = testing::trustedTools(directory_.path(), authority_);
  const SystemTools standIns_ = SystemTools::inDirectory(directory_ / "wrappers");
  testing::ScopedEnvironment environment_{{"LANGUAGE", "en_US.UTF-8"},
                                          {"STAND_IN_LOG", log_.string()}};
};

// Each case starts from `previous` at the target and leftovers of earlier attempts: a genuine copy
// (A), a broken one (B), one of another user's (C, when root can make one), one of another product
// (D), an unfinished copy (E) and another user's unfinished copy (F). Unfinished copies of ours go
// once the call is past its checks, a genuine copy only after a successful replacement.
TEST_F(InstallProcedureTest, InstallsOrFailsCleanlyAndKeepsWhatItCannotProveItsOwn) {
  const struct {
    const char* name;
    fs::path previous;      // empty: none
    bool startsDuringCopy;  // the product runs from the second check on
    const char* ditto;      // a script in place of the real copy
    std::string expected;   // the message, with " (reason)" for a special reason
    std::string versionAtTarget;
  } cases[] = {
      {"fresh", {}, false, nullptr, kInstalled, "1.4.0-beta.57"},
      {"older", older_, false, nullptr, kInstalled, "1.4.0-beta.57"},
      {"newer, other build approved", newer_, false, nullptr,
       "A newer version is installed (reason)", "1.5.0"},
      {"started during the copy", older_, true, nullptr,
       "Vexa is running. Quit it safely to continue installation. (reason)", "1.3.0"},
      {"copy fails part-way", older_, false,
       "mkdir -p \"$2/Contents/MacOS\" && echo partial > \"$2/Contents/Info.plist\"; exit 1",
       kFileCheck, "1.3.0"},
  };
  const std::string prefix = kPrefix, genuine = prefix + "A.app", foreign = prefix + "C.app",
                    unfinished = prefix + "E.incomplete";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(parent_);
    fs::create_directory(parent_);
    for (const std::string& name : {genuine, foreign, std::string(".vexa-install-dev.other-D.app")})
      fs::copy(older_, parent_ / name, kCopyAll);
    testing::writeFile(parent_ / (prefix + "B.app/Contents/Info.plist"), "partial");
    for (const std::string& name : {unfinished, prefix + "F.incomplete"}) {
      testing::writeFile(parent_ / name / "Contents/Info.plist", "partial");
      fs::permissions(parent_ / name / "Contents", fs::perms::owner_read | fs::perms::owner_exec);
    }
    ASSERT_TRUE(::getuid() != 0 || ::lchown((parent_ / foreign).c_str(), kNobody, kNobody) == 0);
    ASSERT_TRUE(::getuid() != 0 ||
                ::lchown((parent_ / (prefix + "F.incomplete")).c_str(), kNobody, kNobody) == 0);
    if (!c.previous.empty()) fs::copy(c.previous, target_, kCopyAll);
    std::set<std::string> leftovers = entries(parent_, ".vexa-install-");
    if (c.expected != "A newer version is installed (reason)") leftovers.erase(unfinished);
    if (c.expected == kInstalled) leftovers.erase(genuine);
    if (::getuid() != 0) leftovers.erase(foreign), leftovers.erase(prefix + "F.incomplete");
    SystemTools tools = tools_;
    if (c.ditto) {
      testing::writeFile(tools.ditto = directory_ / "ditto", std::string("#!/bin/sh\n") + c.ditto);
      fs::permissions(tools.ditto, fs::perms::owner_all);
    }
    int runningChecks = 0;
    const auto running = [&](const std::string&) {
      return c.startsDuringCopy && ++runningChecks >= 2;
    };
    std::string outcome = kInstalled;
    try {
      (void)NativeInstaller::install(package_, parent_, configuration_,
                                     InstalledApplicationVersion("1.5.0", "61"), running, {tools});
    } catch (const InstallerFailure& failure) {
      outcome = failure.what() +
                std::string(failure.reason() == InstallerFailureReason::general ? "" : " (reason)");
    }
    EXPECT_EQ(outcome, c.expected);
    EXPECT_EQ(versionAt(target_), c.versionAtTarget);
    EXPECT_EQ(entries(parent_, ".vexa-install-"), leftovers);
    EXPECT_TRUE(entries(temporary_).empty());
  }
}

// Given a shared sticky folder holding another user's copy, which the installing user may not
// move: every attempt is refused, and none leaves its copy behind.
TEST_F(InstallProcedureTest, ReplacementRefusedTenTimesLeavesNoCopy) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to make another user's application";
  fs::permissions(parent_, static_cast<fs::perms>(01777));
  changeOwner(parent_, 0);
  fs::copy(older_, target_, kCopyAll);
  for (int attempt = 0; attempt < 10; ++attempt)
    EXPECT_EQ(finish(start(tools_)),
              "Could not replace the application. Check install directory permissions and retry.");
  EXPECT_EQ(versionAt(target_), "1.3.0");
  EXPECT_TRUE(entries(parent_, ".vexa-install-").empty());
  EXPECT_TRUE(entries(temporary_).empty());
}

// Given an install folder on a file system too small for the application, the install fails
// with the copy's failure before the copy starts and writes nothing there.
TEST_F(InstallProcedureTest, RefusesACopyThatCannotFitBeforeWritingAByte) {
  // The file system lives in a mount namespace of this test process alone.
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
    GTEST_SKIP() << "cannot make a file system here";
  ASSERT_EQ(::mount("tmpfs", parent_.c_str(), "tmpfs", 0, "size=64k,uid=65534,gid=65534"), 0);
  EXPECT_EQ(finish(start(standIns_)), kFileCheck);
  EXPECT_EQ(testing::readFile(log_).find("ditto"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(parent_));
  ::umount2(parent_.c_str(), MNT_DETACH);
}

// The install is killed (SIGKILL) at every tool it runs: as the tool starts (the tool then hangs),
// a moment into attaching and copying, and with a copy cut short; over an older copy and over
// nothing. Each kill is followed by an undisturbed install.
TEST_F(InstallProcedureTest, KilledAnywhereLeavesTheTargetWholeAndNothingBehindTheNextInstall) {
  struct Point {
    bool overOlder;
    int at;  // the stand-in call (1-based) that kills
    std::string how;
  };
  std::vector<Point> points;
  const auto reset = [&](bool overOlder) {
    fs::remove_all(target_);
    if (overOlder) fs::copy(older_, target_, kCopyAll);
    if (overOlder && ::getuid() == 0) changeOwner(target_, kNobody);
    fs::remove(log_);
  };
  const auto install = [&](const Point& point) {
    return start(standIns_, {{"KILL_AT", std::to_string(point.at)}, {"KILL_HOW", point.how}});
  };
  for (bool overOlder : {true, false}) {
    reset(overOlder);
    ASSERT_EQ(finish(install({overOlder, 0, "now"})), kInstalled);
    std::ifstream log(log_);
    int call = 0;
    for (std::string line; std::getline(log, line);) {
      points.push_back({overOlder, ++call, "now"});
      if (line.starts_with("ditto")) points.push_back({overOlder, call, "partial"});
      if (line.starts_with("ditto") || line.starts_with("hdiutil attach"))
        for (const char* delay : {"0.005", "0.02"}) points.push_back({overOlder, call, delay});
    }
  }

  std::size_t kills = 0, workspacesLeft = 0, copiesLeft = 0, itemsAfter = 0;
  for (const Point& point : points) {
    SCOPED_TRACE("call " + std::to_string(point.at) + " " + point.how +
                 (point.overOlder ? " over an older copy" : " over nothing"));
    reset(point.overOlder);
    kills += finish(install(point)) == "(killed)";
    if (point.overOlder || fs::exists(target_))
      EXPECT_NO_THROW(NativeInstaller::verify(target_, configuration_, false, {tools_}));
    workspacesLeft += entries(temporary_, "vexa-install-").size();
    copiesLeft += entries(parent_, ".vexa-install-").size();

    EXPECT_EQ(finish(install({point.overOlder, 0, "now"})), kInstalled);
    EXPECT_EQ(versionAt(target_), "1.4.0-beta.57");
    EXPECT_TRUE(entries(temporary_).empty());
    EXPECT_TRUE(entries(parent_, ".vexa-install-").empty());
    itemsAfter += entries(temporary_).size() + entries(parent_, ".vexa-install-").size();
  }
  EXPECT_EQ(toolsLeft_, 0);
  EXPECT_GE(kills, 20u);
  std::cout << points.size() << " points, " << kills << " kills, " << toolsLeft_
            << " tools alive a second after an end; the kills left " << workspacesLeft
            << " workspaces and " << copiesLeft << " hidden copies, the next installs "
            << itemsAfter << " items\n";
}

}  // namespace
}  // namespace vexa
