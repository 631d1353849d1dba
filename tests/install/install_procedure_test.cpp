#include "install/install_procedure.h"

#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/package_builder.h"
#include "tests/support/program_run.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPrefix = ".vexa-install-dev.plovik.desktop-";
constexpr const char* kInstalled = "(installed)";
constexpr auto kCopyAll = fs::copy_options::recursive | fs::copy_options::copy_symlinks;
constexpr uid_t kNobody = 65534;

// The names in `folder` that start with `prefix`.
std::set<std::string> entries(const fs::path& folder, const std::string& prefix = "") {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().filename().string().starts_with(prefix)) names.insert(entry.path().filename());
  return names;
}

// Given signed bundles of the release (packaged, with resources that make the tools take a
// moment), an older and a newer one, tools that trust them, stand-ins in front of them that log
// each call and kill the installer at the call KILL_AT (as it starts, a moment in, or with a copy
// cut short), and a private temporary folder. Installs in child processes run as nobody when root.
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
        testing::writeFile(bundle / "Contents/Resources/model.bin", std::string(4 << 20, 'v'));
      testing::signBundle(bundle, authority_, "QX7RZ2M4KD");
    }
    testing::makeImage(release_.parent_path(), package_);
    const std::string bytes = testing::readFile(package_);
    configuration_ = testing::withPackage(testing::validProductionConfiguration(),
                                          static_cast<std::int64_t>(bytes.size()),
                                          testing::referenceSha256(bytes));
    for (const fs::path& folder : {directory_ / "tmp", parent_, directory_ / "log"})
      fs::create_directories(folder), giveTo(folder);
    testing::writeFile(directory_ / "stand-ins/tool", R"sh(#!/bin/sh
echo "${0##*/} $1" >> "$LOG"
if [ "$(wc -l < "$LOG")" = "$KILL_AT" ]; then
  case $KILL_HOW in
    now) kill -9 $PPID; exec sleep 60 ;;
    partial) mkdir -p "$2/Contents" && echo partial > "$2/Contents/Info.plist"
             chmod a-w "$2/Contents"; kill -9 $PPID; exec sleep 60 ;;
    *) (sleep "$KILL_HOW"; kill -9 $PPID) & ;;
  esac
fi
exec "$TOOLS/${0##*/}" "$@")sh");
    fs::permissions(directory_ / "stand-ins/tool", static_cast<fs::perms>(0755));
    for (const char* name : {"hdiutil", "ditto", "codesign", "spctl", "lipo"})
      fs::create_symlink("tool", directory_ / "stand-ins" / name);
    environment_.set("TMPDIR", (directory_ / "tmp").string());
  }

  // Installs in a child process of a session of its own (so `pgrep -s` finds what it started),
  // which dies with this test, with `environment` added; returns how it ended: kInstalled,
  // "(failed)" or "(killed)". Adds to toolsLeft_ what it started and is still alive a second after
  // its end, and reaps it only then, so that a delayed kill can never reach another process under
  // its number.
  std::string installInChild(const testing::EnvironmentChanges& environment = {}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::setsid();
      for (const auto& [name, value] : environment) ::setenv(name.c_str(), value->c_str(), 1);
      if (::getuid() == 0 && (::setresgid(kNobody, kNobody, kNobody) != 0 ||
                              ::setresuid(kNobody, kNobody, kNobody) != 0))
        ::_exit(2);
      try {
        install();
        ::_exit(0);
      } catch (...) {
        ::_exit(1);
      }
    }
    siginfo_t end{};
    ::waitid(P_PID, static_cast<id_t>(pid), &end, WEXITED | WNOWAIT);
    // What it started, running or asleep (the install itself is a zombie now).
    const std::vector<std::string> pgrep{"pgrep", "-r", "RSD", "-s", std::to_string(pid)};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::string left;
    while (!(left = testing::runProgram("/usr/bin/pgrep", pgrep).standardOutput).empty() &&
           std::chrono::steady_clock::now() < deadline)
      ::usleep(10000);
    toolsLeft_ += std::count(left.begin(), left.end(), '\n');
    ::waitpid(pid, nullptr, 0);
    return end.si_code == CLD_KILLED ? "(killed)" : end.si_status == 0 ? kInstalled : "(failed)";
  }

  // Installs through the stand-ins, over no known version, the product never running.
  void install() {
    (void)NativeInstaller::install(package_, parent_, configuration_, std::nullopt,
                                   [](const std::string&) { return false; }, {standIns_});
  }

  static void giveTo(const fs::path& path, const char* owner = "65534:65534") {
    (void)testing::runProgram("/bin/chown", {"chown", "-R", owner, path.string()});
  }

  const testing::TemporaryDirectory directory_;
  const testing::TestCertificateAuthority authority_;
  const fs::path release_ = directory_ / "volume/Vexa.app", older_ = directory_ / "older/Vexa.app",
                 newer_ = directory_ / "newer/Vexa.app", package_ = directory_ / "Vexa.app.dmg",
                 parent_ = directory_ / "Applications", target_ = parent_ / "Vexa.app";
  InstallConfiguration configuration_;
  const SystemTools tools_ = testing::trustedTools(directory_.path(), authority_),
                    standIns_ = SystemTools::inDirectory(directory_ / "stand-ins");
  testing::ScopedEnvironment environment_{{"LANGUAGE", "en_US.UTF-8"},
                                          {"LOG", (directory_ / "log/calls").string()},
                                          {"TOOLS", tools_.hdiutil.parent_path().string()}};
  long toolsLeft_ = 0;
};

// Each case starts from `previous` at the target and leftovers of earlier attempts: a genuine copy
// (A), a partial one (B), one of another user's (C, when root can make one), one of another
// product (D) and an unfinished copy (E). A successful replacement clears A, and any install past
// its checks clears E.
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
       "Installer file check failed. Check disk space and permissions, then retry.", "1.3.0"},
  };
  const std::string genuine = std::string(kPrefix) + "A.app",
                    foreign = std::string(kPrefix) + "C.app",
                    unfinished = kPrefix + std::string("E.incomplete");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(parent_);
    fs::create_directory(parent_);
    for (const std::string& name : {genuine, foreign, std::string(".vexa-install-dev.other-D.app")})
      fs::copy(older_, parent_ / name, kCopyAll);
    for (const std::string& name : {std::string(kPrefix) + "B.app", unfinished})
      testing::writeFile(parent_ / name / "Contents/Info.plist", "partial");
    ASSERT_TRUE(::getuid() != 0 || ::lchown((parent_ / foreign).c_str(), 65534, 65534) == 0);
    if (!c.previous.empty()) fs::copy(c.previous, target_, kCopyAll);
    std::set<std::string> leftovers = entries(parent_, ".vexa-install-");
    if (c.versionAtTarget != "1.5.0") leftovers.erase(unfinished);
    if (c.expected == kInstalled) {
      leftovers.erase(genuine);
      if (::getuid() != 0) leftovers.erase(foreign);
    }
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
    EXPECT_EQ(NativeInstaller::metadata(target_).at("CFBundleShortVersionString").text(),
              c.versionAtTarget);
    EXPECT_EQ(entries(parent_, ".vexa-install-"), leftovers);
    EXPECT_TRUE(entries(directory_ / "tmp").empty());
  }
}

// Given an install folder on a file system too small for the application (in a mount namespace
// of this process alone), the install fails as a copy that runs out of space does, and no copy
// starts.
TEST_F(InstallProcedureTest, RefusesACopyThatCannotFitBeforeWritingAByte) {
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
    GTEST_SKIP() << "cannot make a file system here";
  ASSERT_EQ(::mount("tmpfs", parent_.c_str(), "tmpfs", 0, "size=4m"), 0);
  EXPECT_EQ(testing::failureMessage<InstallerFailure>([&] { install(); }),
            "Installer file check failed. Check disk space and permissions, then retry.");
  EXPECT_EQ(testing::readFile(directory_ / "log/calls").find("ditto"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(parent_));
  ::umount2(parent_.c_str(), MNT_DETACH);
}

// The install is killed (SIGKILL) at every tool call, over an older copy and over nothing, each
// time followed by an undisturbed install; then its replacements are refused ten times.
TEST_F(InstallProcedureTest, KilledOrRefusedLeavesTheTargetWholeAndNothingBehind) {
  std::vector<std::tuple<bool, int, std::string>> points;  // over an older copy, call, how
  const auto reset = [&](bool overOlder) {
    fs::remove_all(target_);
    if (overOlder) fs::copy(older_, target_, kCopyAll), giveTo(target_);
    fs::remove(directory_ / "log/calls");
  };
  for (bool overOlder : {true, false}) {
    reset(overOlder);
    ASSERT_EQ(installInChild(), kInstalled);
    std::ifstream log(directory_ / "log/calls");
    int call = 0;
    for (std::string line; std::getline(log, line);) {
      const bool copy = line.starts_with("ditto");
      points.emplace_back(overOlder, ++call, "now");
      if (copy) points.emplace_back(overOlder, call, "partial");
      if (overOlder && (copy || line == "hdiutil attach"))
        for (const char* delay : {"0.005", "0.02"}) points.emplace_back(overOlder, call, delay);
    }
  }
  int kills = 0;
  for (const auto& [overOlder, call, how] : points) {
    SCOPED_TRACE(std::to_string(call) + " " + how + (overOlder ? " over an older copy" : ""));
    reset(overOlder);
    kills += installInChild({{"KILL_AT", std::to_string(call)}, {"KILL_HOW", how}}) == "(killed)";
    if (overOlder || fs::exists(target_)) {
      EXPECT_NO_THROW(NativeInstaller::verify(target_, configuration_, false, {tools_}));
    }
    EXPECT_EQ(installInChild(), kInstalled);
    EXPECT_TRUE(entries(directory_ / "tmp").empty());
    EXPECT_TRUE(entries(parent_, ".vexa-install-").empty());
    EXPECT_EQ(NativeInstaller::metadata(target_).at("CFBundleShortVersionString").text(),
              "1.4.0-beta.57");
  }
  EXPECT_GE(kills, 20);
  EXPECT_EQ(toolsLeft_, 0);

  // In a shared sticky folder holding root's copy, which the installing user may not move, every
  // replacement is refused and none leaves its copy behind.
  if (::getuid() != 0) return;
  giveTo(parent_, "0:0");
  fs::permissions(parent_, static_cast<fs::perms>(01777));
  for (int attempt = 0; attempt < 10; ++attempt) EXPECT_EQ(installInChild(), "(failed)");
  EXPECT_EQ(entries(parent_), std::set<std::string>{"Vexa.app"});
  EXPECT_TRUE(entries(directory_ / "tmp").empty());
}

}  // namespace
}  // namespace vexa
