#include "telemetry/installer_telemetry.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/deployment_settings.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/https_test_server.h"
#include "tests/support/program_run.h"
#include "tests/support/qt_application.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using namespace std::chrono_literals;
using testing::readFile;
using testing::RecordedRequest;
using testing::ScriptedResponse;
using Answer = std::function<ScriptedResponse(const RecordedRequest&)>;

const std::chrono::system_clock::time_point kPinnedTime =
    std::chrono::sys_days{std::chrono::year{2026} / 12 / 6} + 17h + 32min + 42s + 125ms;
constexpr const char* kPinnedText = "2026-12-06T17:32:42.125Z";

std::string eventIdOf(const RecordedRequest& request) {
  return nlohmann::json::parse(request.body).at("event_id").get<std::string>();
}
std::string receiptFor(const std::string& id, const std::string& extra = "") {
  return R"({"event_id":")" + id + R"(","accepted":true,"receipt":"durably_received"})" + extra;
}
ScriptedResponse answer(int status, std::string body, testing::HeaderList headers = {}) {
  ScriptedResponse response = ScriptedResponse::withStatus(status, std::move(body));
  response.headers = std::move(headers);
  return response;
}

TEST(InstallerTelemetryTest, CampaignIdentifier_FirstCidArgumentWins) {
  using Arguments = std::vector<std::string>;
  EXPECT_EQ(campaignIdentifier(Arguments{"installer"}), std::nullopt);
  EXPECT_EQ(
      campaignIdentifier(Arguments{"installer", "-cid=1.2", "--CID=1.2", "--cid=1.2", "--cid=3.4"}),
      "1.2");
  EXPECT_EQ(campaignIdentifier(Arguments{"--cid=9.9", "--self-test"}),
            "9.9");  // the program path counts
  EXPECT_EQ(campaignIdentifier(Arguments{"installer", "--cid="}), "");
}

TEST(InstallerTelemetryTest, AcceptedReceipt_OnlyExactDurableReceipts) {
  const std::string id = "6f1d0c1e-2b3a-4c5d-8e9f-0a1b2c3d4e5f";
  const std::string good = receiptFor(id);
  const struct {
    int status;
    std::string body;
    bool accepted;
  } cases[] = {
      {202, good, true},
      {202, good + std::string(2048 - good.size(), ' '), true},
      {202, good + std::string(2049 - good.size(), ' '), false},
      {200, good, false},
      {202, receiptFor("6F1D0C1E-2B3A-4C5D-8E9F-0A1B2C3D4E5F"), false},
      {202, R"({"event_id":")" + id + R"(","accepted":1,"receipt":"durably_received"})", false},
      {202, R"({"event_id":")" + id + R"(","accepted":true,"receipt":"queued"})", false},
      {202, "[" + good + "]", false},
  };
  for (const auto& [status, body, accepted] : cases)
    EXPECT_EQ(isAcceptedReceipt(status, body, id), accepted) << body;
}

// A telemetry object recording into a private folder with a pinned clock, posting to the scripted
// server, which confirms every event unless a test says otherwise.
class TelemetryServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ensureQtApplication();
    server_.setHandler(
        [](const RecordedRequest& r) { return answer(202, receiptFor(eventIdOf(r))); });
  }

  std::unique_ptr<InstallerTelemetry> make(
      InstallConfiguration configuration = testing::validProductionConfiguration(),
      std::optional<std::string> cid = std::nullopt) {
    InstallerTelemetryOptions options{std::move(cid),
                                      [this] { return server_.sessionConfiguration(); },
                                      [] { return kPinnedTime; }};
    return std::make_unique<InstallerTelemetry>(std::move(configuration), folder(),
                                                std::move(options));
  }
  static void settle(const InstallerTelemetry& telemetry) {
    ASSERT_TRUE(testing::runEventLoopUntil([&] { return telemetry.idle(); }));
  }
  std::filesystem::path folder() const { return temporary_ / "Attribution"; }
  std::filesystem::path events() const { return folder() / "events"; }
  std::size_t count(const std::string& extension) const {
    std::size_t found = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(events(), error)) {
      found += entry.path().extension() == extension;
    }
    return found;
  }

  testing::TemporaryDirectory temporary_;
  testing::HttpsTestServer server_;
};

TEST_F(TelemetryServiceTest, UnacceptedNames_DoNothing) {
  auto telemetry = make();
  for (const char* name :
       {"", "vexa_downloader_open_now", "vexa_install_", "VEXA_DOWNLOADER_OPEN"}) {
    telemetry->record(name);
  }
  EXPECT_TRUE(telemetry->idle());
  telemetry.reset();  // anything queued would run now
  EXPECT_FALSE(std::filesystem::exists(folder()));
  EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(TelemetryServiceTest, AcceptedNames_ArePostedAsRecordsAndConfirmedFilesGo) {
  const std::map<std::string, std::array<const char*, 3>> cases = {
      // component, action, state
      {"vexa_downloader_open", {"downloader", "open", "success"}},
      {"vexa_download_started", {"downloader", "download", "started"}},
      {"vexa_download_paused", {"downloader", "download", "paused"}},
      {"vexa_download_resumed", {"downloader", "download", "resumed"}},
      {"vexa_download_completed", {"downloader", "download", "success"}},
      {"vexa_download_failed", {"downloader", "download", "failed"}},
      {"vexa_install_started", {"installer", "install", "started"}},
      {"vexa_install_completed", {"installer", "install", "success"}},
      {"vexa_install_failed", {"installer", "install", "failed"}},
  };
  const InstallConfiguration configuration = testing::validProductionConfiguration();
  auto telemetry = make(configuration, "123.456");
  for (const auto& [name, expected] : cases) telemetry->record(name);
  settle(*telemetry);

  const std::string client = InstallerTelemetry::identity(folder(), std::nullopt).analyticsClientId;
  std::set<std::string> eventIds;
  ASSERT_EQ(server_.requestCount(), cases.size());
  for (const RecordedRequest& request : server_.requests()) {
    EXPECT_EQ(request.method + " " + request.path, "POST /v2/telemetry/events");
    EXPECT_EQ(request.header("Host"), DeploymentSettings::productionTelemetryHost);
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.headers.size(), 3u);  // with Host and Content-Length

    const nlohmann::ordered_json record = nlohmann::ordered_json::parse(request.body);
    EXPECT_EQ(request.body, record.dump());  // compact
    const std::string name = record.at("event_name");
    const auto& [component, action, state] = cases.at(name);
    const std::string eventId = record.at("event_id");
    eventIds.insert(eventId);
    const nlohmann::ordered_json expected = {{"schema_version", 2},
                                             {"product_id", "vexa-desktop"},
                                             {"environment", "production"},
                                             {"component", component},
                                             {"client_id", client},
                                             {"event_id", eventId},
                                             {"occurred_at", kPinnedText},
                                             {"event_name", name},
                                             {"os", "macos"},
                                             {"arch", configuration.arch},
                                             {"version", configuration.productVersion},
                                             {"build_number", configuration.buildNumber},
                                             {"collection_enabled", true},
                                             {"installer_kind", "bootstrap"},
                                             {"attempt_id", telemetry->attempt()},
                                             {"action", action},
                                             {"page", component},
                                             {"state", state},
                                             {"attribution_cid", "123.456"}};
    EXPECT_EQ(record, expected);
    EXPECT_TRUE(TelemetryIdentity::isClientIdentifier(eventId));
    EXPECT_EQ(readFile(events() / (eventId + ".sent")),
              std::string(R"({"schema_version":1,"occurred_at":")") + kPinnedText + "\"}");
  }
  EXPECT_EQ(eventIds.size(), cases.size());
  EXPECT_EQ(count(".json"), 0u);
  EXPECT_EQ(testing::permissionBits(events()), 0700u);
}

TEST_F(TelemetryServiceTest, UnconfirmedEvents_KeepTheirFileExactlyAsPosted) {
  const std::string location = "https://" +
                               std::string(DeploymentSettings::productionTelemetryHost) +
                               "/v2/telemetry/events";
  const Answer cases[] = {
      [](const RecordedRequest& r) { return answer(200, receiptFor(eventIdOf(r))); },
      [](const RecordedRequest& r) {
        std::string id = eventIdOf(r);
        for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return answer(202, receiptFor(id));
      },
      [](const RecordedRequest& r) {
        return answer(202, receiptFor(eventIdOf(r), std::string(2000, ' ')));
      },
      [&](const RecordedRequest& r) {
        return answer(307, receiptFor(eventIdOf(r)), {{"Location", location}});
      },
  };
  auto telemetry = make(testing::validStagingConfiguration());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    server_.setHandler(cases[i]);
    telemetry->record("vexa_download_failed");
    settle(*telemetry);

    ASSERT_EQ(server_.requestCount(), i + 1);  // a redirect is not followed
    const RecordedRequest request = server_.requests().back();
    EXPECT_EQ(request.header("Host"), DeploymentSettings::stagingTelemetryHost);
    const std::filesystem::path file = events() / (eventIdOf(request) + ".json");
    EXPECT_EQ(readFile(file), request.body);
    EXPECT_EQ(testing::permissionBits(file), 0600u);
    EXPECT_EQ(count(".sent"), 0u);
  }
}

TEST_F(TelemetryServiceTest, GoodReceipt_RemovesTheFileEvenWhenTheMarkerCannotBeWritten) {
  server_.setHandler([this](const RecordedRequest& r) {
    std::filesystem::create_directory(events() /
                                      (eventIdOf(r) + ".sent"));  // a folder in the marker's place
    return answer(202, receiptFor(eventIdOf(r)));
  });
  auto telemetry = make();
  telemetry->record("vexa_install_completed");
  settle(*telemetry);
  ASSERT_EQ(server_.requestCount(), 1u);
  EXPECT_EQ(count(".json"), 0u);
  EXPECT_TRUE(
      std::filesystem::is_directory(events() / (eventIdOf(server_.requests()[0]) + ".sent")));
}

TEST_F(TelemetryServiceTest, PendingLimit_CountsOnlyEventFiles) {
  for (int i = 0; i < 199; ++i) testing::writeFile(events() / (std::to_string(i) + ".json"), "{}");
  for (int i = 0; i < 20; ++i) testing::writeFile(events() / (std::to_string(i) + ".sent"), "{}");
  server_.setHandler([](const RecordedRequest&) { return answer(503, ""); });
  auto telemetry = make();
  telemetry->record("vexa_download_started");  // the 200th waiting event
  settle(*telemetry);
  telemetry->record("vexa_download_paused");  // the 201st: dropped
  settle(*telemetry);
  EXPECT_EQ(server_.requestCount(), 1u);
  EXPECT_EQ(count(".json"), 200u);
}

TEST_F(TelemetryServiceTest, UnusableIdentityOrEventsFolder_DropsTheEvent) {
  const std::function<void()> cases[] = {
      [&] { testing::writeFile(folder() / "identity.json", R"({"schema_version":2})"); },
      [&] { testing::writeFile(folder() / "identity.lock", ""); },
      [&] { std::filesystem::create_directory_symlink(temporary_.path(), events()); },
  };
  for (const auto& prepare : cases) {
    std::filesystem::remove_all(folder());
    std::filesystem::create_directories(folder());
    prepare();
    auto telemetry = make();
    telemetry->record("vexa_install_started");
    settle(*telemetry);
    EXPECT_EQ(server_.requestCount(), 0u);
    EXPECT_EQ(count(".json"), 0u);
  }
}

TEST_F(TelemetryServiceTest, DestroyedWhileSubmitting_TheReceiptIsStillHandled) {
  auto telemetry = make();
  telemetry->record("vexa_install_completed");
  telemetry
      .reset();  // the recording finishes during destruction; its submission outlives the object
  EXPECT_TRUE(
      testing::runEventLoopUntil([&] { return count(".sent") == 1 && count(".json") == 0; }));
}

// Given several installers recording into one folder at once, the identity lock lets exactly one
// create the identity: every stored event carries it and no lock file stays. Events that met a
// held lock were dropped, so fewer than all may exist.
TEST(InstallerTelemetryProcessesTest, ConcurrentRecorders_ShareOneIdentityAndReleaseTheLock) {
  testing::TemporaryDirectory temporary;
  const std::filesystem::path folder = temporary / "Attribution";
  std::vector<std::unique_ptr<testing::BackgroundProgram>> recorders;
  for (int i = 1; i <= 8; ++i) {
    recorders.push_back(std::make_unique<testing::BackgroundProgram>(
        std::filesystem::path(VEXA_TEST_PROGRAMS_DIR) / "telemetry_recorder",
        std::vector<std::string>{"telemetry_recorder", folder.string(), "6",
                                 "--cid=" + std::to_string(i) + ".5"}));
  }
  for (auto& recorder : recorders) EXPECT_EQ(recorder->wait().exitStatus, 0);

  EXPECT_FALSE(std::filesystem::exists(folder / "identity.lock"));
  const TelemetryIdentity identity = InstallerTelemetry::identity(folder, std::nullopt);
  std::set<std::pair<std::string, std::string>> seen;  // client and campaign of every event
  for (const auto& entry : std::filesystem::directory_iterator(folder / "events")) {
    const nlohmann::json record = nlohmann::json::parse(readFile(entry.path()));
    seen.emplace(record.at("client_id"), record.at("attribution_cid"));
  }
  EXPECT_EQ(seen, (std::set<std::pair<std::string, std::string>>{
                      {identity.analyticsClientId, *identity.attributionCid}}));
}

}  // namespace
}  // namespace vexa
