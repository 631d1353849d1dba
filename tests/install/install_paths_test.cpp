#include "install/install_paths.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "config/installer_failure.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCannotWrite = "Cannot write to Applications. Check this account’s install permissions.";
constexpr const char* kLinkTarget = "The install location is a symbolic link. Choose another location.";
constexpr uid_t kNobody = 65534;

// The English message of what `action` throws, or "(returned)".
std::string outcome(const std::function<void()>& action) {
  try {
    action();
    return "(returned)";
  } catch (const std::exception& error) {
    return error.what();
  }
}

// Runs `check` in a child process as an unprivileged user (root switches to nobody; anyone else
// stays who they are) and returns its exit status. Root's rights would hide every refused write.
int asUnprivilegedUser(const std::function<bool()>& check) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::getuid() == 0 && (::setresgid(kNobody, kNobody, kNobody) != 0 || ::setresuid(kNobody, kNobody, kNobody) != 0)) {
      ::_exit(2);
    }
    ::_exit(check() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Hands `path` to the user asUnprivilegedUser runs as.
void giveToUnprivilegedUser(const fs::path& path) {
  if (::getuid() == 0) {
    EXPECT_EQ(::lchown(path.c_str(), kNobody, kNobody), 0) << path;
  }
}

class InstallPathsTest : public ::testing::Test {
 protected:
  fs::path folder(const fs::path& relative) {
    fs::create_directories(directory_ / relative);
    return directory_ / relative;
  }
  // A bundle folder holding one file that says which copy it is.
  fs::path bundle(const fs::path& path, const std::string& identity) {
    testing::writeFile(path / "Contents" / "copy", identity);
    return path;
  }
  std::string copyAt(const fs::path& path) {
    return fs::exists(path / "Contents" / "copy") ? testing::readFile(path / "Contents" / "copy") : "(nothing)";
  }

  testing::TemporaryDirectory directory_;
  testing::ScopedEnvironment english_{{"LANGUAGE", "en_US.UTF-8"}};
};

TEST_F(InstallPathsTest, TargetRefusesUnsafeParentsAndNames) {
  fs::create_directory_symlink(folder("real/inner").parent_path(), directory_ / "link");
  testing::writeFile(directory_ / "file", "");
  fs::create_directory_symlink(folder("elsewhere"), folder("linked-target") / "Vexa.app");
  const fs::path plain = folder("plain");
  struct Case {
    fs::path parent;
    std::string productName;
    std::string expected;  // a message, or the target returned
  } cases[] = {
      {"/", "Vexa", kCannotWrite},
      {"relative/folder", "Vexa", kCannotWrite},
      {folder("Other.app/Contents"), "Vexa", kCannotWrite},
      {directory_ / "link", "Vexa", kCannotWrite},
      {directory_ / "link" / "inner", "Vexa", kCannotWrite},
      {directory_ / "file", "Vexa", kCannotWrite},
      {directory_ / "missing", "Vexa", kCannotWrite},
      {plain, "Vexa Nightly", kCannotWrite},
      {plain, "vexa", kCannotWrite},
      {folder("linked-target"), "Vexa", kLinkTarget},
      {plain, "Vexa", (plain / "Vexa.app").string()},
      {plain / "." / "sub" / "..", "Vexa Staging", (plain / "Vexa Staging.app").string()},
      // Standardized before any check: the link is dropped with "..", leaving the test folder.
      {directory_ / "link" / "..", "Vexa", (directory_ / "Vexa.app").string()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome([&] { throw std::runtime_error(InstallPaths::target(c.parent, c.productName).string()); }),
              c.expected)
        << c.parent;
  }
}

TEST_F(InstallPathsTest, ReadOnlyParentPassesOnlyWithoutTheWriteRequirement) {
  fs::permissions(directory_.path(), fs::perms::owner_all | fs::perms::others_exec);
  const fs::path parent = folder("read-only");
  giveToUnprivilegedUser(parent);
  fs::permissions(parent, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read | fs::perms::others_exec);
  EXPECT_EQ(asUnprivilegedUser([&] {
              return outcome([&] { (void)InstallPaths::target(parent, "Vexa", false); }) == "(returned)" &&
                     outcome([&] { (void)InstallPaths::target(parent, "Vexa", true); }) == kCannotWrite;
            }),
            0);
}

TEST_F(InstallPathsTest, DefaultParentIsCreatedPrivateUnderTheResolvedHome) {
  // Given a home reached through a link and no Applications folder yet.
  fs::create_directory_symlink(folder("var/home"), directory_ / "home");
  testing::ScopedEnvironment home{{"HOME", (directory_ / "home").string()}};
  const fs::path parent = InstallPaths::defaultParent();
  EXPECT_EQ(parent, directory_ / "var" / "home" / "Applications");
  EXPECT_EQ(testing::permissionBits(parent), 0700u);
  EXPECT_EQ(InstallPaths::target(parent, "Vexa"), parent / "Vexa.app");

  // An existing folder is kept as it is; a link in its place is neither followed nor replaced.
  fs::permissions(parent, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  EXPECT_EQ(InstallPaths::defaultParent(), parent);
  EXPECT_EQ(testing::permissionBits(parent), 0750u);
  fs::rename(parent, directory_ / "moved");
  fs::create_directory_symlink(directory_ / "moved", parent);
  EXPECT_EQ(outcome([&] { (void)InstallPaths::target(InstallPaths::defaultParent(), "Vexa"); }), kCannotWrite);
  EXPECT_TRUE(fs::is_symlink(parent));
}

// Copies: "previous" at the target, "new" at the staged path, both in one parent folder.
class ReplaceTest : public InstallPathsTest {
 protected:
  struct Rejected : std::runtime_error {
    Rejected() : std::runtime_error("rejected by verify") {}
  };
  fs::path parent_ = folder("Applications");
  fs::path target_ = parent_ / "Vexa.app";
  fs::path staged_ = bundle(parent_ / ".vexa-install-staged.app", "new");
  int verifyCalls_ = 0;
  InstallPaths::Verification accept_ = [this](const fs::path& at) { ++verifyCalls_; EXPECT_EQ(at, target_); };
  InstallPaths::Verification reject_ = [this](const fs::path&) { ++verifyCalls_; throw Rejected(); };
};

TEST_F(ReplaceTest, RefusalsAndRollbacksLeaveEachCopyWhereItWas) {
  struct Case {
    const char* name;
    bool previous;
    fs::path staged;
    bool accept;
    std::string expected;
    const char* atTarget;
    const char* atStaged;
    int verifyCalls;
  } cases[] = {
      {"staged elsewhere", true, folder("other") / ".vexa-install-staged.app", true,
       "The temporary install directory is invalid.", "previous", "new", 0},
      {"staged is target", true, target_, true, "The temporary install directory is invalid.", "previous", "new", 0},
      {"rejected over previous", true, staged_, false, "rejected by verify", "previous", "new", 1},
      {"rejected over nothing", false, staged_, false, "rejected by verify", "(nothing)", "new", 1},
      {"staged missing", true, parent_ / ".vexa-install-missing.app", true,
       "Could not replace the application. Check install directory permissions and retry.", "previous", "new", 0},
      {"replaced", true, staged_, true, "(returned)", "new", "(nothing)", 1},
      {"installed", false, staged_, true, "(returned)", "new", "(nothing)", 1},
  };
  for (const Case& c : cases) {
    fs::remove_all(target_);
    fs::remove_all(staged_);
    bundle(staged_, "new");
    if (c.previous) bundle(target_, "previous");
    verifyCalls_ = 0;
    EXPECT_EQ(outcome([&] { InstallPaths::replace(c.staged, target_, c.accept ? accept_ : reject_); }), c.expected)
        << c.name;
    EXPECT_EQ(copyAt(target_), c.atTarget) << c.name;
    EXPECT_EQ(copyAt(staged_), c.atStaged) << c.name;
    EXPECT_EQ(verifyCalls_, c.verifyCalls) << c.name;
    // Nothing but the two copies in the folder: an exclusive rename leaves no device node behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(parent_), fs::directory_iterator()),
              (c.atTarget[0] != '(') + (c.atStaged[0] != '('))
        << c.name;
  }
}

TEST_F(ReplaceTest, SucceedsWhenThePreviousCopyCannotBeRemoved) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to make a folder the installing user cannot empty";
  // Given a previous copy holding a folder of another user's, which the installing user cannot empty.
  fs::permissions(directory_.path(), fs::perms::owner_all | fs::perms::others_exec);
  bundle(target_, "previous");
  testing::writeFile(target_ / "Contents" / "foreign" / "file", "");
  for (const fs::path& path : {parent_, target_, target_ / "Contents", target_ / "Contents" / "copy", staged_,
                               staged_ / "Contents", staged_ / "Contents" / "copy"}) {
    giveToUnprivilegedUser(path);
  }
  EXPECT_EQ(asUnprivilegedUser([&] { return outcome([&] { InstallPaths::replace(staged_, target_, [](const fs::path&) {}); }) == "(returned)"; }), 0);
  EXPECT_EQ(copyAt(target_), "new");
  EXPECT_TRUE(fs::exists(staged_ / "Contents" / "foreign" / "file"));
}

}  // namespace
}  // namespace vexa
