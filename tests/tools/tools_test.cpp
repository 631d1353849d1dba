// The tool stand-ins, driven through their command lines as the installer and the demo use them.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vexa
