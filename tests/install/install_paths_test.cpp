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

// Whether `check` holds in a child process run as an unprivileged user: root becomes nobody (root's
// rights would hide every refused write), anyone else stays who they are.
bool asUnprivilegedUser(const std::function<bool()>& check) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::_exit((::getuid() != 0 || (::setresgid(kNobody, kNobody, kNobody) == 0 &&
                                 ::setresuid(kNobody, kNobody, kNobody) == 0)) &&
                    check()
                ? 0
                : 1);
  }
  int status = 0;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
  struct Case {
    fs::path parent;
    std::string productName;
    bool requireWritable;
    std::string expected;  // a message, or the target returned
  } cases[] = {
      {"/", "Vexa", false, kCannotWrite},
      {"relative/folder", "Vexa", false, kCannotWrite},
      {folder("Other.app/Contents", true), "Vexa", true, kCannotWrite},
      {directory_ / "link", "Vexa", false, kCannotWrite},
      {directory_ / "link" / "inner", "Vexa", false, kCannotWrite},
      {directory_ / "file", "Vexa", false, kCannotWrite},
      {directory_ / "missing", "Vexa", false, kCannotWrite},
      {plain, "Vexa Nightly", true, kCannotWrite},
      {readOnly, "Vexa", true, kCannotWrite},
      {readOnly, "Vexa", false, (readOnly / "Vexa.app").string()},
      {folder("linked-target"), "Vexa", true,
       "The install location is a symbolic link. Choose another location."},
      {plain / "." / "sub" / "..", "Vexa Staging", true, (plain / "Vexa Staging.app").string()},
      {directory_ / "link" / "..", "Vexa", false,
       (directory_ / "Vexa.app").string()},  // ".." drops the link
  };
  EXPECT_TRUE(asUnprivilegedUser([&] {
    bool all = true;
    for (const Case& c : cases) {
      const std::string result = outcome([&] {
        return InstallPaths::target(c.parent, c.productName, c.requireWritable).string();
      });
      if (result != c.expected) std::cerr << c.parent << ": " << result << "\n";
      all = all && result == c.expected;
    }
    return all;
  }));
}

TEST_F(InstallPathsTest, DefaultParentIsCreatedPrivateUnderTheResolvedHome) {
  // Given a home reached through a link and no Applications folder yet.
  fs::create_directory_symlink(folder("var/home"), directory_ / "home");
  testing::ScopedEnvironment home{{"HOME", (directory_ / "home").string()}};
  const fs::path parent = InstallPaths::defaultParent();
  EXPECT_EQ(InstallPaths::target(parent, "Vexa"),
            directory_ / "var" / "home" / "Applications" / "Vexa.app");
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
class ReplaceTest : public InstallPathsTest {
 protected:
  static void mark(const fs::path& bundle, const char* copy) {
    testing::writeFile(bundle / "Contents" / "copy", copy);
  }
  static std::string copyAt(const fs::path& bundle) {
    return fs::exists(bundle / "Contents" / "copy")
               ? testing::readFile(bundle / "Contents" / "copy")
               : "(nothing)";
  }
  std::string replace(const fs::path& staged, bool accept, int* verifyCalls = nullptr) {
    return outcome([&] {
      InstallPaths::replace(staged, target_, [&](const fs::path& at) {
        if (verifyCalls) ++*verifyCalls;
        if (at != target_ || !accept) throw std::runtime_error("rejected");
      });
      return "(returned)";
    });
  }
  fs::path parent_ = folder("Applications", true), target_ = parent_ / "Vexa.app",
           staged_ = parent_ / ".vexa-install-staged.app";
};

TEST_F(ReplaceTest, MovesAtomicallyAndRollsBackARejectedCopy) {
  testing::writeFile(directory_ / "outside" / "Contents" / "copy", "outside");
  enum Previous { none, copy, linkedFolder, copyWithLink };
  struct Case {
    const char* name;
    Previous previous;
    fs::path staged;
    bool accept;
    std::string expected;
    const char *atTarget, *atStaged;
    int verifyCalls;
  } cases[] = {
      {"staged elsewhere", copy, folder("other") / "x.app", true,
       "The temporary install directory is invalid.", "previous", "new", 0},
      {"staged is target", copy, target_, true, "The temporary install directory is invalid.",
       "previous", "new", 0},
      {"staged missing", copy, parent_ / "missing.app", true,
       "Could not replace the application. Check install directory permissions and retry.",
       "previous", "new", 0},
      {"rejected over previous", copy, staged_, false, "rejected", "previous", "new", 1},
      {"rejected over nothing", none, staged_, false, "rejected", "(nothing)", "new", 1},
      {"replaced", copy, staged_, true, "(returned)", "new", "(nothing)", 1},
      {"installed", none, staged_, true, "(returned)", "new", "(nothing)", 1},
      // The previous item removed is a link, or holds one: only the links go.
      {"replaced a link", linkedFolder, staged_, true, "(returned)", "new", "(nothing)", 1},
      {"replaced a copy holding a link", copyWithLink, staged_, true, "(returned)", "new",
       "(nothing)", 1},
  };
  for (const Case& c : cases) {
    fs::remove_all(target_);
    mark(staged_, "new");
    if (c.previous == linkedFolder) fs::create_directory_symlink(directory_ / "outside", target_);
    if (c.previous == copy || c.previous == copyWithLink) mark(target_, "previous");
    if (c.previous == copyWithLink)
      fs::create_directory_symlink(directory_ / "outside", target_ / "Contents" / "x");
    int verifyCalls = 0;
    EXPECT_EQ(replace(c.staged, c.accept, &verifyCalls), c.expected) << c.name;
    EXPECT_EQ(copyAt(target_) + " " + copyAt(staged_), std::string(c.atTarget) + " " + c.atStaged)
        << c.name;
    EXPECT_EQ(verifyCalls, c.verifyCalls) << c.name;
    // Nothing else in the folder: an exclusive rename leaves no device node behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(parent_), {}),
              (c.atTarget[0] != '(') + (c.atStaged[0] != '('))
        << c.name;
    EXPECT_EQ(copyAt(directory_ / "outside"), "outside") << c.name;
  }
}

TEST_F(ReplaceTest, SucceedsWhenThePreviousCopyCannotBeRemoved) {
  if (::getuid() != 0)
    GTEST_SKIP() << "needs root to make a folder the installing user cannot empty";
  // Given a previous copy holding a folder of root's, which the installing user cannot empty.
  mark(staged_, "new");
  mark(target_, "previous");
  testing::writeFile(target_ / "Contents" / "foreign" / "file", "");
  for (const fs::path& bundle : {staged_, target_}) {
    for (const fs::path& path : {bundle, bundle / "Contents", bundle / "Contents" / "copy"}) {
      ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    }
  }
  EXPECT_TRUE(asUnprivilegedUser([&] { return replace(staged_, true) == "(returned)"; }));
  EXPECT_EQ(copyAt(target_), "new");
  EXPECT_TRUE(fs::exists(staged_ / "Contents" / "foreign" / "file"));
}

}  // namespace
}  // namespace vexa
