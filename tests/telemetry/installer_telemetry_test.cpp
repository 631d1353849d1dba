#include "telemetry/installer_telemetry.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <nlohmann/json.hpp>

#include "platform/claimed_file.h"
#include "platform/deployment_settings.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/https_test_server.h"
#include "tests/support/qt_application.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using namespace std::chrono_literals;
using nlohmann::ordered_json;
using testing::RecordedRequest;
using testing::ScriptedResponse;
namespace fs = std::filesystem;

const std::string kId = "6f1d0c1e-2b3a-4c5d-8e9f-0a1b2c3d4e5f";

std::string eventIdOf(const RecordedRequest& request) {
  return nlohmann::json::parse(request.body).at("event_id").get<std::string>();
}
std::string receiptFor(const std::string& id, const std::string& receipt = "durably_received") {
  return R"({"event_id":")" + id + R"(","accepted":true,"receipt":")" + receipt + "\"}";
}

TEST(InstallerTelemetryTest, CampaignIdentifierAndReceipt_FollowTheExactForms) {
  EXPECT_EQ(campaignIdentifier({"installer"}), std::nullopt);
  EXPECT_EQ(campaignIdentifier({"installer", "-cid=1.2", "--CID=1.2", "--cid=1.2", "--cid=3.4"}),
            "1.2");
  // Digits around one dot, at most 36 characters.
  EXPECT_TRUE(TelemetryIdentity::isCampaignIdentifier("111111111111111111.22222222222222222"));
  for (const char* cid : {"123456", "111111111111111111.222222222222222222", "12a.4", ".5"})
    EXPECT_FALSE(TelemetryIdentity::isCampaignIdentifier(cid)) << cid;

  const std::string good = receiptFor(kId);
  EXPECT_TRUE(isAcceptedReceipt(202, good + std::string(2048 - good.size(), ' '), kId));
  EXPECT_FALSE(isAcceptedReceipt(202, good + std::string(2049 - good.size(), ' '), kId));
  EXPECT_FALSE(isAcceptedReceipt(200, good, kId));
  EXPECT_FALSE(isAcceptedReceipt(202, receiptFor(kId, "queued"), kId));
}

// A telemetry object recording into a private folder with a pinned clock, posting to the scripted
// server, which confirms every event unless a test says otherwise.
class TelemetryServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ensureQtApplication();
    server_.setHandler([](const RecordedRequest& r) {
      return ScriptedResponse::withStatus(202, receiptFor(eventIdOf(r)));
    });
  }

  std::unique_ptr<InstallerTelemetry> make(
      InstallConfiguration configuration = testing::validProductionConfiguration(),
      std::optional<std::string> cid = std::nullopt) {
    InstallerTelemetryOptions options{
        std::move(cid), [this] { return server_.sessionConfiguration(); },
        [] { return std::chrono::sys_days{2026y / 12 / 6} + 17h + 32min + 42s + 125ms; }};
    return std::make_unique<InstallerTelemetry>(std::move(configuration), folder(),
                                                std::move(options));
  }
  // Records one event and waits until it is stored or dropped and its submission has ended.
  void record(InstallerTelemetry& telemetry, const char* name) {
    telemetry.record(name);
    ASSERT_TRUE(testing::runEventLoopUntil([&] { return telemetry.idle(); }));
  }
  fs::path folder() const { return temporary_ / "Attribution"; }
  fs::path events() const { return folder() / "events"; }
  std::size_t count(const std::string& extension) const {
    std::error_code error;
    return std::ranges::count_if(fs::directory_iterator(events(), error), [&](const auto& entry) {
      return entry.path().extension() == extension;
    });
  }

  testing::TemporaryDirectory temporary_;
  testing::HttpsTestServer server_;
};

// Names outside the accepted list are not recorded at all.
TEST_F(TelemetryServiceTest, AcceptedNames_ArePostedAsRecordsAndConfirmedFilesGo) {
  // component, action, state; one name for each way a member is derived
  const std::map<std::string, std::array<std::string, 3>> cases = {
      {"vexa_downloader_open", {"downloader", "open", "success"}},
      {"vexa_download_started", {"downloader", "download", "started"}},
      {"vexa_install_failed", {"installer", "install", "failed"}}};
  auto telemetry = make(testing::validProductionConfiguration(), "123.456");
  for (const char* name : {"", "vexa_downloader_open_now", "VEXA_DOWNLOADER_OPEN"})
    telemetry->record(name);
  for (const auto& [name, expected] : cases) telemetry->record(name);
  ASSERT_TRUE(testing::runEventLoopUntil([&] { return telemetry->idle(); }));

  const std::string client = InstallerTelemetry::identity(folder(), std::nullopt).analyticsClientId;
  ASSERT_EQ(server_.requests().size(), cases.size());
  for (const RecordedRequest& request : server_.requests()) {
    EXPECT_EQ(request.method + " " + request.path, "POST /v2/telemetry/events");
    EXPECT_EQ(request.header("Host"), DeploymentSettings::productionTelemetryHost);
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    const ordered_json record = ordered_json::parse(request.body);
    const std::string name = record.at("event_name"), eventId = record.at("event_id");
    const auto& [component, action, state] = cases.at(name);
    const ordered_json expected = ordered_json::parse(
        R"({"schema_version": 2, "product_id": "vexa-desktop", "environment": "production",
            "component": ")" +
        component + R"(", "client_id": ")" + client + R"(", "event_id": ")" + eventId +
        R"(", "occurred_at": "2026-12-06T17:32:42.125Z", "event_name": ")" + name +
        R"(", "os": "macos", "arch": "x64", "version": "1.4.0", "build_number": 57,
            "collection_enabled": true, "installer_kind": "bootstrap", "attempt_id": ")" +
        telemetry->attempt() + R"(", "action": ")" + action + R"(", "page": ")" + component +
        R"(", "state": ")" + state + R"(", "attribution_cid": "123.456"})");
    EXPECT_EQ(record, expected);
  }
  EXPECT_EQ(count(".sent"), cases.size());  // one marker per event: no id used twice
  EXPECT_EQ(count(".json"), 0u);
  EXPECT_EQ(testing::permissionBits(events()), 0700u);
}

// Given a redirect to the same address, with a good receipt, the event stays as it was posted.
TEST_F(TelemetryServiceTest, UnconfirmedEvent_KeepsItsFileExactlyAsPosted) {
  server_.setHandler([&](const RecordedRequest& r) {
    auto response = ScriptedResponse::withStatus(307, receiptFor(eventIdOf(r)));
    response.headers = {{"Location", "https://" + r.header("Host").value_or("") + r.path}};
    return response;
  });
  auto telemetry = make(testing::validStagingConfiguration());
  record(*telemetry, "vexa_download_failed");
  ASSERT_EQ(server_.requests().size(), 1u);  // the redirect is not followed
  const RecordedRequest request = server_.requests().back();
  EXPECT_EQ(request.header("Host"), DeploymentSettings::stagingTelemetryHost);
  const fs::path file = events() / (eventIdOf(request) + ".json");
  EXPECT_EQ(testing::readFile(file), request.body);
  EXPECT_EQ(testing::permissionBits(file), 0600u);
  EXPECT_EQ(count(".sent"), 0u);
}

TEST_F(TelemetryServiceTest, PendingLimit_CountsOnlyEventFiles) {
  for (int i = 0; i < 199; ++i) testing::writeFile(events() / (std::to_string(i) + ".json"), "{}");
  for (int i = 0; i < 20; ++i) testing::writeFile(events() / (std::to_string(i) + ".sent"), "{}");
  server_.setHandler([](const RecordedRequest&) { return ScriptedResponse::withStatus(503); });
  auto telemetry = make();
  record(*telemetry, "vexa_download_started");  // the 200th waiting event
  record(*telemetry, "vexa_download_paused");   // the 201st: dropped
  EXPECT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(count(".json"), 200u);
}

// An events folder that is a link is unusable: the event is dropped.
TEST_F(TelemetryServiceTest, UnusableEventsFolder_DropsTheEvent) {
  fs::create_directories(folder());
  fs::create_directory_symlink(temporary_.path(), events());
  record(*make(), "vexa_install_started");
  EXPECT_TRUE(server_.requests().empty());
  EXPECT_EQ(count(".json"), 0u);
}

TEST_F(TelemetryServiceTest, DestroyedWhileSubmitting_TheReceiptIsStillHandled) {
  auto telemetry = make();
  telemetry->record("vexa_install_completed");
  telemetry.reset();  // the recording finishes during destruction; its submission outlives it
  EXPECT_TRUE(
      testing::runEventLoopUntil([&] { return count(".sent") == 1 && count(".json") == 0; }));
}

// Stored events an earlier installer got no receipt for are posted by the next start, byte for
// byte; one that another holder is still sending is left to it and taken up once it lets go. Files
// that are no event of ours stay.
TEST_F(TelemetryServiceTest, StoredEvents_SentByTheNextStartOnceTheirHolderLetsGo) {
  const std::string other = "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";
  for (const std::string& id : {kId, other})
    testing::writeFile(events() / (id + ".json"), R"({"event_id":")" + id + R"(","n":1})");
  testing::writeFile(events() / "notes.json", R"({"event_id":"notes"})");
  std::optional<platform::ClaimedFile> held =
      platform::ClaimedFile::tryClaim(events() / (other + ".json"));
  ASSERT_TRUE(held);
  auto telemetry = make();
  ASSERT_TRUE(testing::runEventLoopUntil([&] { return count(".sent") == 1; }));
  ASSERT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(server_.requests()[0].body, R"({"event_id":")" + kId + R"(","n":1})");
  held.reset();
  ASSERT_TRUE(testing::runEventLoopUntil([&] { return count(".sent") == 2; }));
  // Another installer reading the identity for a moment delays a new event; it is not dropped.
  testing::writeFile(folder() / "identity.lock", "");
  telemetry->record("vexa_install_started");
  testing::runEventLoopFor(60ms);
  fs::remove(folder() / "identity.lock");
  ASSERT_TRUE(testing::runEventLoopUntil([&] { return telemetry->idle() && count(".sent") == 3; }));
  EXPECT_EQ(server_.requests().size(), 3u);
  EXPECT_EQ(count(".json"), 1u);  // notes.json
}

}  // namespace
}  // namespace vexa
