#include "install/install_paths.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <iostream>

#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCannotWrite =
    "Cannot write to Applications. Check this account’s install permissions.";
constexpr const char* kRefused =
    "Could not replace the application. Check install directory permissions and retry.";
constexpr uid_t kNobody = 65534;

// What `action` throws (its message), or what it returns.
std::string outcome(const std::function<std::string()>& action) try {
  return action();
} catch (const std::exception& error) {
  return error.what();
}

// Folders the unprivileged user can reach but not write.
class InstallPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::permissions(directory_.path(), fs::perms::others_exec, fs::perm_options::add);
  }
  fs::path folder(const fs::path& relative) {
    fs::create_directories(directory_ / relative);
    return directory_ / relative;
  }
  testing::TemporaryDirectory directory_;
  testing::ScopedEnvironment english_{{"LANGUAGE", "en_US.UTF-8"}};
};

TEST_F(InstallPathsTest, TargetRefusesUnsafeParentsAndNames) {
  fs::create_directory_symlink(folder("real/inner").parent_path(), directory_ / "link");
  fs::create_directory_symlink(folder("elsewhere"), folder("linked-target") / "Vexa.app");
  const fs::path plain = folder("plain");
  const struct {
    fs::path parent;
    std::string productName;
    bool requireWritable;
    std::string expected;  // a message, or the target returned
  } cases[] = {
      {folder("Other.app/Contents"), "Vexa", false, kCannotWrite},
      {directory_ / "link" / "inner", "Vexa", false, kCannotWrite},
      {plain, "Vexa Nightly", false, kCannotWrite},
      {plain, "Vexa", true, kCannotWrite},
      {folder("linked-target"), "Vexa", false,
       "The install location is a symbolic link. Choose another location."},
      {plain / "." / "sub" / "..", "Vexa Staging", false, (plain / "Vexa Staging.app").string()},
  };
  // Run as nobody when root (root's rights would hide every refused write).
  const pid_t child = ::fork();
  if (child == 0) {
    bool all = ::getuid() != 0 || (::setresgid(kNobody, kNobody, kNobody) == 0 &&
                                   ::setresuid(kNobody, kNobody, kNobody) == 0);
    for (const auto& c : cases) {
      const std::string result = outcome([&] {
        return InstallPaths::target(c.parent, c.productName, c.requireWritable).string();
      });
      if (result != c.expected) std::cerr << c.parent << ": " << result << "\n", all = false;
    }
    ::_exit(all ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(InstallPathsTest, DefaultParentIsCreatedPrivateUnderTheResolvedHome) {
  // Given a home reached through a link and no Applications folder yet.
  fs::create_directory_symlink(folder("var/home"), directory_ / "home");
  testing::ScopedEnvironment home{{"HOME", (directory_ / "home").string()}};
  const fs::path parent = InstallPaths::defaultParent();
  EXPECT_EQ(InstallPaths::target(parent, "Vexa"), directory_ / "var/home/Applications/Vexa.app");
  EXPECT_EQ(testing::permissionBits(parent), 0700u);
}

// Copies mark themselves in Contents/copy: "previous" at the target, "new" at the staged path.
// Whatever stays at the staged path after a refusal or a rollback would never be used.
TEST_F(InstallPathsTest, ReplaceMovesAtomicallyAndRollsBackARejectedCopy) {
  const fs::path parent = folder("Applications"), target = parent / "Vexa.app",
                 staged = parent / ".vexa-install-staged.app", outside = directory_ / "outside";
  const auto mark = [](const fs::path& bundle, const char* copy) {
    testing::writeFile(bundle / "Contents" / "copy", copy);
  };
  const auto copyAt = [](const fs::path& bundle) {
    return fs::exists(bundle / "Contents/copy") ? testing::readFile(bundle / "Contents/copy")
                                                : "(nothing)";
  };
  mark(outside, "outside");
  const struct {
    const char* name;
    bool previous;  // a copy holding a link out
    fs::path staged;
    bool accept;
    std::string expected;
    const char *atTarget, *atStaged;
  } cases[] = {
      {"staged elsewhere", true, folder("other") / "x.app", true,
       "The temporary install directory is invalid.", "previous", "new"},
      {"staged missing", true, parent / "missing.app", true, kRefused, "previous", "new"},
      // A dangling link reads as nothing at the target, so the exclusive rename is refused.
      {"refused", false, staged, true, kRefused, "(nothing)", "(nothing)"},
      {"rejected over previous", true, staged, false, "rejected", "previous", "(nothing)"},
      {"rejected over nothing", false, staged, false, "rejected", "(nothing)", "(nothing)"},
      {"installed", false, staged, true, "(returned)", "new", "(nothing)"},
      {"replaced", true, staged, true, "(returned)", "new", "(nothing)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(target);
    mark(staged, "new");
    if (c.expected == kRefused && c.staged == staged) fs::create_symlink("gone", target);
    if (c.previous) mark(target, "previous");
    if (c.previous) fs::create_directory_symlink(outside, target / "Contents/x");
    EXPECT_EQ(outcome([&] {
                InstallPaths::replace(c.staged, target, [&](const fs::path& at) {
                  if (at != target || !c.accept) throw std::runtime_error("rejected");
                });
                return "(returned)";
              }),
              c.expected);
    EXPECT_EQ(copyAt(target) + " " + copyAt(staged), std::string(c.atTarget) + " " + c.atStaged);
    // Nothing else in the folder: an exclusive rename leaves no device node behind, and no copy
    // stays that nothing will use.
    EXPECT_EQ(std::distance(fs::directory_iterator(parent), {}),
              (c.atTarget[0] != '(') + (c.atStaged[0] != '(') + fs::is_symlink(target));
    EXPECT_EQ(copyAt(outside), "outside");
  }
}

}  // namespace
}  // namespace vexa
