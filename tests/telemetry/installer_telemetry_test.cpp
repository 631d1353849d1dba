#include "telemetry/installer_telemetry.h"

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "tests/support/configuration_samples.h"
#include "tests/support/program_run.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using testing::readFile;

TEST(CampaignIdentifierTest, FirstCidArgumentWins) {
  const struct {
    std::vector<std::string> arguments;
    std::optional<std::string> expected;
  } cases[] = {
      {{"/Applications/VexaInstaller.app/Contents/MacOS/VexaInstaller"}, std::nullopt},
      {{"installer", "--cid=123.456"}, "123.456"},
      {{"installer", "--cid=1.2", "--cid=3.4"}, "1.2"},
      {{"installer", "--cid="}, ""},
      {{"installer", "--cid=x=y"}, "x=y"},
      {{"installer", "-cid=1.2", "--CID=1.2", " --cid=1.2"}, std::nullopt},
      {{"--cid=9.9", "--self-test"}, "9.9"},  // the program path counts as an argument
  };
  for (const auto& [arguments, expected] : cases) {
    EXPECT_EQ(campaignIdentifier(arguments), expected) << ::testing::PrintToString(arguments);
  }
}

TEST(AcceptedReceiptTest, OnlyAnExactDurableReceiptCounts) {
  const std::string id = "6f1d0c1e-2b3a-4c5d-8e9f-0a1b2c3d4e5f";
  const std::string good = R"({"event_id":")" + id + R"(","accepted":true,"receipt":"durably_received"})";
  const std::string padding(2048 - good.size(), ' ');
  const struct {
    const char* name;
    int status;
    std::string body;
    bool accepted;
  } cases[] = {
      {"good", 202, good, true},
      {"extra members", 202, R"({"receipt":"durably_received","accepted":true,"event_id":")" + id + R"(","x":[1]})", true},
      {"2048 bytes", 202, good + padding, true},
      {"2049 bytes", 202, good + padding + " ", false},
      {"status 200", 200, good, false},
      {"status 201", 201, good, false},
      {"event_id in upper case", 202, R"({"event_id":"6F1D0C1E-2B3A-4C5D-8E9F-0A1B2C3D4E5F","accepted":true,"receipt":"durably_received"})", false},
      {"other event", 202, R"({"event_id":"00000000-2b3a-4c5d-8e9f-0a1b2c3d4e5f","accepted":true,"receipt":"durably_received"})", false},
      {"accepted as text", 202, R"({"event_id":")" + id + R"(","accepted":"true","receipt":"durably_received"})", false},
      {"accepted as 1", 202, R"({"event_id":")" + id + R"(","accepted":1,"receipt":"durably_received"})", false},
      {"not accepted", 202, R"({"event_id":")" + id + R"(","accepted":false,"receipt":"durably_received"})", false},
      {"other receipt", 202, R"({"event_id":")" + id + R"(","accepted":true,"receipt":"queued"})", false},
      {"missing receipt", 202, R"({"event_id":")" + id + R"(","accepted":true})", false},
      {"array", 202, "[" + good + "]", false},
      {"truncated", 202, good.substr(0, good.size() - 1), false},
      {"empty", 202, "", false},
  };
  for (const auto& [name, status, body, accepted] : cases) {
    EXPECT_EQ(isAcceptedReceipt(status, body, id), accepted) << name;
  }
}

TEST(InstallerTelemetryTest, DefaultFolder_IsAttributionUnderApplicationSupport) {
  testing::TemporaryDirectory temporary;
  testing::ScopedEnvironment environment{{"XDG_DATA_HOME", temporary.path().string()}};
  InstallConfiguration configuration = testing::validStagingConfiguration();
  configuration.productName = "Vexa Staging";
  const InstallerTelemetry telemetry(configuration, std::nullopt);
  EXPECT_EQ(telemetry.directory(), temporary / "Vexa Staging" / "Attribution");
  EXPECT_TRUE(TelemetryIdentity::isClientIdentifier(telemetry.attempt())) << telemetry.attempt();
}

// Given several installer processes recording into one telemetry folder at the same moment, the
// identity lock lets exactly one create the identity: every stored event carries that identity,
// and no lock file is left behind. Events that met a held lock are dropped, so fewer may exist.
TEST(InstallerTelemetryProcessesTest, ConcurrentRecorders_ShareOneIdentityAndReleaseTheLock) {
  testing::TemporaryDirectory temporary;
  const std::filesystem::path folder = temporary / "Vexa" / "Attribution";
  constexpr int kProcesses = 8;
  constexpr int kEventsEach = 6;
  std::vector<std::unique_ptr<testing::BackgroundProgram>> recorders;
  for (int i = 0; i < kProcesses; ++i) {
    recorders.push_back(std::make_unique<testing::BackgroundProgram>(
        std::filesystem::path(VEXA_TEST_PROGRAMS_DIR) / "telemetry_recorder",
        std::vector<std::string>{"telemetry_recorder", folder.string(), std::to_string(kEventsEach),
                                 "--cid=" + std::to_string(i + 1) + ".5"}));
  }
  for (auto& recorder : recorders) EXPECT_EQ(recorder->wait().exitStatus, 0);

  EXPECT_FALSE(std::filesystem::exists(folder / "identity.lock"));
  const TelemetryIdentity identity = InstallerTelemetry::identity(folder, std::nullopt);
  ASSERT_TRUE(identity.attributionCid.has_value());
  std::set<std::string> clients;
  std::set<std::string> campaigns;
  int events = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder / "events")) {
    ASSERT_EQ(entry.path().extension(), ".json") << entry.path();
    const nlohmann::json record = nlohmann::json::parse(readFile(entry.path()));
    clients.insert(record.at("client_id").get<std::string>());
    campaigns.insert(record.at("attribution_cid").get<std::string>());
    ++events;
  }
  EXPECT_GE(events, 1);
  EXPECT_LE(events, kProcesses * kEventsEach);
  EXPECT_EQ(clients, std::set<std::string>{identity.analyticsClientId});
  EXPECT_EQ(campaigns, std::set<std::string>{*identity.attributionCid});
}

}  // namespace
}  // namespace vexa
