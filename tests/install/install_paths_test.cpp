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
constexpr uid_t kNobody = 65534;

// What `action` throws (its message), or what it returns.
std::string outcome(const std::function<std::string()>& action) {
  try {
    return action();
  } catch (const std::exception& error) {
    return error.what();
  }
}

// Folders the unprivileged user can reach; those given to it it can write.
class InstallPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::permissions(directory_.path(), fs::perms::others_exec, fs::perm_options::add);
  }
  fs::path folder(const fs::path& relative, bool give = false) {
    fs::create_directories(directory_ / relative);
    EXPECT_TRUE(!give || ::getuid() != 0 ||
                ::chown((directory_ / relative).c_str(), kNobody, kNobody) == 0);
    return directory_ / relative;
  }
  testing::TemporaryDirectory directory_;
  testing::ScopedEnvironment english_{{"LANGUAGE", "en_US.UTF-8"}};
};

TEST_F(InstallPathsTest, TargetRefusesUnsafeParentsAndNames) {
  fs::create_directory_symlink(folder("real/inner").parent_path(), directory_ / "link");
  testing::writeFile(directory_ / "file", "");
  fs::create_directory_symlink(folder("elsewhere"), folder("linked-target", true) / "Vexa.app");
  const fs::path plain = folder("plain", true), readOnly = folder("read-only");
  const struct {
    fs::path parent;
    std::string productName;
    bool requireWritable;
    std::string expected;  // a message, or the target returned
  } cases[] = {
      {"/", "Vexa", false, kCannotWrite},
      {"relative/folder", "Vexa", false, kCannotWrite},
      {folder("Other.app/Contents", true), "Vexa", true, kCannotWrite},
      {directory_ / "link" / "inner", "Vexa", false, kCannotWrite},
      {directory_ / "file", "Vexa", false, kCannotWrite},
      {plain, "Vexa Nightly", true, kCannotWrite},
      {readOnly, "Vexa", true, kCannotWrite},
      {readOnly, "Vexa", false, (readOnly / "Vexa.app").string()},
      {folder("linked-target"), "Vexa", true,
       "The install location is a symbolic link. Choose another location."},
      {plain / "." / "sub" / "..", "Vexa Staging", true, (plain / "Vexa Staging.app").string()},
      {directory_ / "link" / "..", "Vexa", false, (directory_ / "Vexa.app").string()},
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
  // An existing folder is kept as it is; a link in its place is neither followed nor replaced.
  fs::permissions(parent, fs::perms::group_read, fs::perm_options::add);
  EXPECT_EQ(InstallPaths::defaultParent(), parent);
  EXPECT_EQ(testing::permissionBits(parent), 0740u);
  fs::rename(parent, directory_ / "moved");
  fs::create_directory_symlink(directory_ / "moved", parent);
  EXPECT_EQ(
      outcome([&] { return InstallPaths::target(InstallPaths::defaultParent(), "Vexa").string(); }),
      kCannotWrite);
  EXPECT_TRUE(fs::is_symlink(parent));
}

// Copies mark themselves in Contents/copy: "previous" at the target, "new" at the staged path.
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
  enum Previous { none, copy, linkedFolder, copyWithLink };
  const std::string invalid = "The temporary install directory is invalid.";
  const struct {
    const char* name;
    Previous previous;
    fs::path staged;
    bool accept;
    std::string expected;
    const char *atTarget, *atStaged;
    int verifyCalls;
  } cases[] = {
      {"staged elsewhere", copy, folder("other") / "x.app", true, invalid, "previous", "new", 0},
      {"staged is target", copy, target, true, invalid, "previous", "new", 0},
      {"staged missing", copy, parent / "missing.app", true,
       "Could not replace the application. Check install directory permissions and retry.",
       "previous", "new", 0},
      {"rejected over previous", copy, staged, false, "rejected", "previous", "new", 1},
      {"rejected over nothing", none, staged, false, "rejected", "(nothing)", "new", 1},
      {"replaced", copy, staged, true, "(returned)", "new", "(nothing)", 1},
      {"installed", none, staged, true, "(returned)", "new", "(nothing)", 1},
      // The previous item removed is a link, or holds one: only the links go.
      {"replaced a link", linkedFolder, staged, true, "(returned)", "new", "(nothing)", 1},
      {"replaced a copy holding a link", copyWithLink, staged, true, "(returned)", "new",
       "(nothing)", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(target);
    mark(staged, "new");
    if (c.previous == linkedFolder) fs::create_directory_symlink(outside, target);
    if (c.previous == copy || c.previous == copyWithLink) mark(target, "previous");
    if (c.previous == copyWithLink) fs::create_directory_symlink(outside, target / "Contents/x");
    int verifyCalls = 0;
    EXPECT_EQ(outcome([&] {
                InstallPaths::replace(c.staged, target, [&](const fs::path& at) {
                  ++verifyCalls;
                  if (at != target || !c.accept) throw std::runtime_error("rejected");
                });
                return "(returned)";
              }),
              c.expected);
    EXPECT_EQ(copyAt(target) + " " + copyAt(staged), std::string(c.atTarget) + " " + c.atStaged);
    EXPECT_EQ(verifyCalls, c.verifyCalls);
    // Nothing else in the folder: an exclusive rename leaves no device node behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(parent), {}),
              (c.atTarget[0] != '(') + (c.atStaged[0] != '('));
    EXPECT_EQ(copyAt(outside), "outside");
  }
}

}  // namespace
}  // namespace vexa
