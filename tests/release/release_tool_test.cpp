// The release tool run in-process against real packages (signed with a test authority, judged by
// the installer's tools trusting it) and a real HTTPS server on loopback.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "release/release_command_line.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/https_test_server.h"
#include "tests/support/package_builder.h"
#include "tests/support/package_service.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;
using testing::PackageServing;

class ReleaseToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)testing::trustedTools(root_ / "installer", authority_);
    fs::create_directories(out_);
    server_.setHandler([this](const testing::RecordedRequest& request) {
      return testing::servePackage(served_, request, serving_);
    });
  }

  // A package holding Vexa.app 1.4.0-beta.57 (build 57), signed for `team` unless there is none.
  fs::path makePackage(const std::string& name, const std::optional<std::string>& team) {
    const fs::path volume = root_ / name / "volume";
    testing::makeBundle(volume / "Vexa.app");
    if (team) testing::signBundle(volume / "Vexa.app", authority_, *team);
    testing::makeImage(volume, root_ / name / "package.dmg");
    return root_ / name / "package.dmg";
  }

  // configure with the flags of the sample production configuration, `changes` replacing them.
  std::vector<std::string> configure(const fs::path& package,
                                     const std::map<std::string, std::string>& changes = {}) {
    std::map<std::string, std::string> flags = {{"--url", expected_.installerURL.text()},
                                                {"--environment", "production"},
                                                {"--ring", "beta"},
                                                {"--git-sha", expected_.gitSha},
                                                {"--out", (out_ / "configuration.json").string()}};
    for (const auto& [flag, value] : changes) flags[flag] = value;
    std::vector<std::string> arguments = {"configure", package.string(), "--installer",
                                          (root_ / "installer/Tools.app").string()};
    for (const auto& [flag, value] : flags) arguments.insert(arguments.end(), {flag, value});
    return arguments;
  }

  int run(const std::vector<std::string>& arguments) {
    output_.str(""), errors_.str("");
    return runReleaseTool(
        arguments, {.standardOutput = output_,
                    .standardError = errors_,
                    .defaultInstaller = VEXA_BUNDLE_DIR,
                    .sessionConfiguration = [this] { return server_.sessionConfiguration(); }});
  }

  // Every name and content under the output folder.
  [[nodiscard]] std::map<std::string, std::string> written() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(out_)) {
      files[entry.path().string()] = entry.is_regular_file() ? testing::readFile(entry) : "";
    }
    return files;
  }

  testing::TemporaryDirectory root_;
  const fs::path out_ = root_ / "out";
  testing::TestCertificateAuthority authority_;
  testing::HttpsTestServer server_;
  std::string served_;
  PackageServing serving_ = PackageServing::exact;
  InstallConfiguration expected_ = testing::validProductionConfiguration();
  std::ostringstream output_, errors_;
};

// configure reads every member it can from the package and writes exactly the configuration a
// publisher would have written by hand; check-url then passes every check against a correct server,
// and stamp puts the file into a copy of the installer whose own self-test agrees.
TEST_F(ReleaseToolTest, SignedPackage_ConfiguresChecksAndStamps) {
  const fs::path package = makePackage("signed", "QX7RZ2M4KD");
  served_ = testing::readFile(package);
  ASSERT_EQ(run(configure(package)), 0) << output_.str() << errors_.str();
  const std::string file = testing::readFile(out_ / "configuration.json");
  EXPECT_EQ(InstallConfiguration::decode(file),
            testing::withPackage(expected_, static_cast<std::int64_t>(served_.size()),
                                 testing::referenceSha256(served_)));

  ASSERT_EQ(run({"--json", "check-url", (out_ / "configuration.json").string(), "--package",
                 package.string()}),
            0)
      << output_.str();
  const auto report = nlohmann::json::parse(output_.str());
  EXPECT_TRUE(report["ok"].get<bool>());
  EXPECT_EQ(report["checks"].size(), 5u);  // the package, the full request, three resumes
  const auto ranges = server_.requests();
  ASSERT_EQ(ranges.size(), 4u);
  EXPECT_EQ(ranges[2].header("Range"), "bytes=" + std::to_string(served_.size() / 2) + "-");

  ASSERT_EQ(run({"stamp", VEXA_BUNDLE_DIR, (out_ / "configuration.json").string(), "--out",
                 (out_ / "stamped").string()}),
            0)
      << output_.str();
  EXPECT_EQ(
      testing::readFile(out_ / "stamped/VexaInstaller.app/Contents/Resources/configuration.json"),
      file);
  EXPECT_EQ(std::distance(fs::directory_iterator(out_ / "stamped"), {}), 1) << "no copy left";
}

// Each refusal names its check and what was expected, exits with 1 and writes nothing.
TEST_F(ReleaseToolTest, EveryRefusal_NamesItsCheckAndWritesNothing) {
  const fs::path good = makePackage("signed", "QX7RZ2M4KD");
  served_ = testing::readFile(good);
  const fs::path configuration = root_ / "configuration.json";
  testing::writeFile(configuration,
                     testing::withPackage(expected_, static_cast<std::int64_t>(served_.size()),
                                          testing::referenceSha256(served_))
                         .encode());
  testing::writeFile(out_ / "existing.json", "{}");
  const std::vector<std::string> checkUrl = {"check-url", configuration.string()};
  struct Case {
    std::vector<std::string> arguments;
    PackageServing serving;
    std::string message;
  };
  const Case cases[] = {
      {configure(makePackage("unsigned", std::nullopt)), PackageServing::exact,
       "Vexa.app is not signed"},
      {configure(makePackage("other-team", "L3W8N5T1VB")), PackageServing::exact,
       "teamId is \"L3W8N5T1VB\"; the only accepted team is \"QX7RZ2M4KD\" (from the team of "
       "the bundle's signer)"},
      {configure(good, {{"--ring", "stable"}}), PackageServing::exact,
       "applicationVersion is \"1.4.0-beta.57\"; ring stable requires \"1.4.0\""},
      {configure(good, {{"--url", "https://cdn.example.org" + expected_.installerURL.path()}}),
       PackageServing::exact, "must be on the production download host"},
      {configure(good, {{"--out", (out_ / "existing.json").string()}}), PackageServing::exact,
       "existing.json exists; use --force to replace it"},
      {checkUrl, PackageServing::ignoringRanges, "the server ignores ranges (status 200)"},
      {checkUrl, PackageServing::redirecting, "the server redirects to"},
      {checkUrl, PackageServing::otherBytes, "the server serves other bytes: SHA-256"},
  };
  const auto before = written();
  std::set<std::string> outputs;
  for (const Case& test : cases) {
    serving_ = test.serving;
    EXPECT_EQ(run(test.arguments), 1) << test.message;
    EXPECT_NE(output_.str().find(test.message), std::string::npos) << output_.str();
    EXPECT_EQ(written(), before) << test.message;
    outputs.insert(output_.str());
  }
  EXPECT_EQ(outputs.size(), std::size(cases));
}

TEST_F(ReleaseToolTest, CommandHelp_SaysWhereEachMemberComesFrom) {
  ASSERT_EQ(run({"configure", "--help"}), 0);
  EXPECT_NE(output_.str().find("buildNumber (CFBundleVersion)"), std::string::npos);
  ASSERT_EQ(run({"check-url", "--help"}), 0);
  EXPECT_NE(output_.str().find("Redirects are refused"), std::string::npos);
  EXPECT_EQ(run({"stamp", "INSTALLER.app"}), 2) << "an operand missing is a usage error";
}

}  // namespace
}  // namespace vexa
