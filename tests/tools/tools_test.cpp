// The tool stand-ins, driven through their command lines as the installer and the demo use them.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <system_error>

#include "config/installer_failure.h"
#include "install/bundle_verification.h"
#include "tests/support/configuration_samples.h"

#include "tests/support/package_builder.h"
#include "tests/support/program_run.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

// An authority, tools that trust it, and bundles with a nested framework.
class ToolsTest : public ::testing::Test {
 protected:
  // <test folder>/<name>/Vexa.app, changed by `change`, then signed (which may throw).
  fs::path bundle(const std::string& name,
                  const std::function<void(const fs::path&)>& change = {}) {
    const fs::path bundle = directory_ / name / "Vexa.app";
    testing::makeBundle(bundle, {.nestedBundle = true});
    if (change) change(bundle);
    testing::signBundle(bundle, authority_, "TEAM000001");
    return bundle;
  }

  testing::TemporaryDirectory directory_;
  testing::TestCertificateAuthority authority_;
  SystemTools tools_ = testing::trustedTools(directory_.path(), authority_);
};

TEST_F(ToolsTest, CodesignEvaluatesRequirementsAndTrustsOnlyItsAnchor) {
  const fs::path signedBundle = bundle("requirements");
  // The team clause is evaluated through the bundle verification; here the identifier's.
  EXPECT_EQ(testing::runProgram(tools_.codesign, {"codesign", "--verify", "-R",
                                                  "=anchor apple generic and identifier \"other\"",
                                                  signedBundle.string()})
                .exitStatus,
            3);
  // The built bundle's own tools trust only the build's anchor, not this test authority.
  EXPECT_EQ(testing::runProgram(fs::path(VEXA_BUNDLE_DIR) / "Contents/Helpers/codesign",
                                {"codesign", "--verify", signedBundle.string()})
                .exitStatus,
            1);
}

TEST_F(ToolsTest, SealsRefuseLinksThatLeadOutOfTheBundle) {
  // Links are followed as the system follows them, through the links on their way.
  using Links = std::vector<std::pair<const char*, const char*>>;
  const auto linking = [](const Links& links) {
    return [=](const fs::path& b) {
      for (const auto& [path, target] : links) fs::create_symlink(target, b / path);
    };
  };
  EXPECT_NO_THROW(bundle("inside", linking({{"Contents/Current", "MacOS"},
                                            {"Contents/Main", "Current/../MacOS/Vexa"}})));
  EXPECT_THROW(bundle("dot", linking({{"Contents/here", "."}, {"Contents/up", "here/../.."}})),
               std::runtime_error);
}

// One altered byte in one of 2,000 files is found, however the files are spread over the workers.
TEST_F(ToolsTest, ParallelSealCheckRefusesOneAlteredByteAmongManyFiles) {
  const fs::path signedBundle = bundle("many", [](const fs::path& b) {
    for (int i = 0; i < 2000; ++i) {
      testing::writeFile(b / "Contents/Resources" / std::to_string(i % 20) / std::to_string(i),
                         std::string(1000 + i, static_cast<char>(i)));
    }
  });
  const auto statuses = [&] {
    return std::pair(testing::runProgram(tools_.codesign, {"codesign", "--verify", "--deep",
                                                           "--strict", signedBundle.string()})
                         .exitStatus,
                     testing::runProgram(tools_.spctl, {"spctl", "--assess", "--type", "execute",
                                                        signedBundle.string()})
                         .exitStatus);
  };
  EXPECT_EQ(statuses(), std::pair(0, 0));
  const fs::path altered = signedBundle / "Contents/Resources/17/1237";
  std::string content = testing::readFile(altered);
  content[500] ^= 1;
  testing::writeFile(altered, content);
  EXPECT_EQ(statuses(), std::pair(1, 3));
}

// The tools of one verification run side by side; the failure reported is still the first in the
// order lipo, codesign, spctl. Each row breaks two of them: a missing tool gives its launch error,
// a refusal the generic failure, so the outcome shows which came first.
TEST_F(ToolsTest, ConcurrentChecksReportTheFirstFailureInOrder) {
  const InstallConfiguration production = testing::validProductionConfiguration();
  const testing::ScopedEnvironment english{{"LANGUAGE", "en"}};
  const std::string refused =
      "Installer file check failed. Check disk space and permissions, then retry.";
  const std::string launch = "launch error";
  const struct {
    const char* name;
    const char* missing;  // the tool that is not there
    testing::BundleLayout layout;
    const char* team;  // signer; nullptr leaves the bundle unsigned
    std::string expected;
  } cases[] = {
      {"lipo-missing-codesign-refuses", "lipo", {}, "T3STTEAM01", launch},
      {"lipo-refuses-codesign-missing",
       "codesign",
       {.processor = testing::BundleLayout::Processor::arm64},
       production.teamId.c_str(),
       refused},
      {"codesign-refuses-spctl-missing", "spctl", {}, "T3STTEAM01", refused},
      {"codesign-missing-spctl-refuses", "codesign", {}, nullptr, launch},
  };
  for (const auto& c : cases) {
    const fs::path path = directory_ / c.name / "Vexa.app";
    testing::makeBundle(path, c.layout);
    if (c.team) testing::signBundle(path, authority_, c.team);
    SystemTools tools = tools_;
    for (fs::path* tool : {&tools.lipo, &tools.codesign, &tools.spctl}) {
      if (tool->filename() == c.missing) *tool = directory_ / "missing" / c.missing;
    }
    std::string outcome = "accepted";
    try {
      NativeInstaller::verify(path, production, true, {tools, [] { return "14.5.0"; }});
    } catch (const InstallerFailure& failure) {
      outcome = failure.what();
    } catch (const std::system_error&) {
      outcome = launch;
    }
    EXPECT_EQ(outcome, c.expected) << c.name;
  }
}

// Holes stay holes, and modes, times and links come across.
TEST_F(ToolsTest, DittoKeepsSparseFilesSparseWithModesTimesAndLinks) {
  const fs::path source = directory_ / "tree", copy = directory_ / "copy" / "tree";
  testing::writeFile(source / "sparse.bin", "head");
  constexpr std::uintmax_t kLength = 64 << 20;
  {
    std::fstream file(source / "sparse.bin", std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(48 << 20);
    file << "tail";
  }
  fs::resize_file(source / "sparse.bin", kLength);  // a trailing hole too
  testing::writeFile(source / "locked/inside", "x");
  fs::permissions(source / "locked", static_cast<fs::perms>(0555));
  fs::create_symlink("sparse.bin", source / "link");
  struct stat original {};
  ASSERT_EQ(::stat((source / "sparse.bin").c_str(), &original), 0);
  if (original.st_blocks * 512 >= static_cast<blkcnt_t>(kLength))
    GTEST_SKIP() << "this file system keeps no holes";

  ASSERT_EQ(testing::runProgram(tools_.ditto, {"ditto", source.string(), copy.string()}).exitStatus,
            0);
  struct stat copied {};
  ASSERT_EQ(::stat((copy / "sparse.bin").c_str(), &copied), 0);
  EXPECT_EQ(copied.st_size, original.st_size);
  EXPECT_LE(copied.st_blocks, original.st_blocks + 16);  // only the two written pages, give or take
  EXPECT_EQ(testing::readFile(copy / "sparse.bin"), testing::readFile(source / "sparse.bin"));
  EXPECT_EQ(copied.st_mtim.tv_sec, original.st_mtim.tv_sec);
  EXPECT_EQ(copied.st_mtim.tv_nsec, original.st_mtim.tv_nsec);
  EXPECT_EQ(fs::status(copy / "locked").permissions(), static_cast<fs::perms>(0555));
  EXPECT_EQ(testing::readFile(copy / "locked/inside"), "x");
  EXPECT_EQ(fs::read_symlink(copy / "link"), "sparse.bin");
  for (const fs::path& tree : {source, copy})
    fs::permissions(tree / "locked", fs::perms::owner_all);
}

}  // namespace
}  // namespace vexa
