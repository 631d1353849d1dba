#include "telemetry/installer_telemetry.h"

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "platform/deployment_settings.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/https_test_server.h"
#include "tests/support/program_run.h"
#include "tests/support/qt_application.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using namespace std::chrono_literals;
using nlohmann::ordered_json;
using testing::readFile;
using testing::RecordedRequest;
using testing::ScriptedResponse;
namespace fs = std::filesystem;

const std::string kId = "6f1d0c1e-2b3a-4c5d-8e9f-0a1b2c3d4e5f";

std::string eventIdOf(const RecordedRequest& request) {
  return nlohmann::json::parse(request.body).at("event_id").get<std::string>();
}
std::string receiptFor(const std::string& id, const std::string& accepted = "true",
                       const std::string& receipt = "durably_received") {
  return R"({"event_id":")" + id + R"(","accepted":)" + accepted + R"(,"receipt":")" + receipt +
         "\"}";
}

TEST(InstallerTelemetryTest, CampaignIdentifierAndReceipt_FollowTheExactForms) {
  using Arguments = std::vector<std::string>;
  EXPECT_EQ(campaignIdentifier(Arguments{"installer"}), std::nullopt);
  EXPECT_EQ(
      campaignIdentifier(Arguments{"installer", "-cid=1.2", "--CID=1.2", "--cid=1.2", "--cid=3.4"}),
      "1.2");
  EXPECT_EQ(campaignIdentifier(Arguments{"--cid=9.9", "--self-test"}), "9.9");  // the program path
  EXPECT_EQ(campaignIdentifier(Arguments{"installer", "--cid="}), "");

  const std::string good = receiptFor(kId);
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
      {202, receiptFor(kId, "1"), false},
      {202, receiptFor(kId, "true", "queued"), false},
      {202, "[" + good + "]", false},
  };
  for (const auto& [status, body, accepted] : cases)
    EXPECT_EQ(isAcceptedReceipt(status, body, kId), accepted) << body;
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
        [] {
          return std::chrono::sys_days{std::chrono::year{2026} / 12 / 6} + 17h + 32min + 42s +
                 125ms;
        }};
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
    std::size_t found = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(events(), error))
      found += entry.path().extension() == extension;
    return found;
  }

  testing::TemporaryDirectory temporary_;
  testing::HttpsTestServer server_;
};

TEST_F(TelemetryServiceTest, UnacceptedNames_DoNothing) {
  auto telemetry = make();
  for (const char* name : {"", "vexa_downloader_open_now", "vexa_install_", "VEXA_DOWNLOADER_OPEN"})
    telemetry->record(name);
  EXPECT_TRUE(telemetry->idle());
  telemetry.reset();  // anything queued would run now
  EXPECT_FALSE(fs::exists(folder()));
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(TelemetryServiceTest, AcceptedNames_ArePostedAsRecordsAndConfirmedFilesGo) {
  const std::map<std::string, std::string> cases = {
      // component, action, state
      {"vexa_downloader_open", "downloader open success"},
      {"vexa_download_started", "downloader download started"},
      {"vexa_download_paused", "downloader download paused"},
      {"vexa_download_resumed", "downloader download resumed"},
      {"vexa_download_completed", "downloader download success"},
      {"vexa_download_failed", "downloader download failed"},
      {"vexa_install_started", "installer install started"},
      {"vexa_install_completed", "installer install success"},
      {"vexa_install_failed", "installer install failed"}};
  auto telemetry = make(testing::validProductionConfiguration(), "123.456");
  for (const auto& [name, expected] : cases) telemetry->record(name);
  ASSERT_TRUE(testing::runEventLoopUntil([&] { return telemetry->idle(); }));

  const std::string client = InstallerTelemetry::identity(folder(), std::nullopt).analyticsClientId;
  std::set<std::string> eventIds;
  ASSERT_EQ(server_.requests().size(), cases.size());
  for (const RecordedRequest& request : server_.requests()) {
    EXPECT_EQ(request.method + " " + request.path, "POST /v2/telemetry/events");
    EXPECT_EQ(request.header("Host"), DeploymentSettings::productionTelemetryHost);
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.headers.size(), 3u);  // with Host and Content-Length

    const ordered_json record = ordered_json::parse(request.body);
    EXPECT_EQ(request.body, record.dump());  // compact
    const std::string name = record.at("event_name"), eventId = record.at("event_id");
    std::istringstream words(cases.at(name));
    std::string component, action, state;
    words >> component >> action >> state;
    eventIds.insert(eventId);
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
    EXPECT_TRUE(TelemetryIdentity::isClientIdentifier(eventId));
    EXPECT_EQ(readFile(events() / (eventId + ".sent")),
              R"({"schema_version":1,"occurred_at":"2026-12-06T17:32:42.125Z"})");
  }
  EXPECT_EQ(eventIds.size(), cases.size());
  EXPECT_EQ(count(".json"), 0u);
  EXPECT_EQ(testing::permissionBits(events()), 0700u);
}

TEST_F(TelemetryServiceTest, UnconfirmedEvents_KeepTheirFileExactlyAsPosted) {
  // given a 200, an upper-case event id, an overlong receipt, and a redirect to the same address
  const struct {
    int status;
    bool upperCase;
    std::size_t padding;
  } cases[] = {{200, false, 0}, {202, true, 0}, {202, false, 2000}, {307, false, 0}};
  const std::string location = "https://" +
                               std::string(DeploymentSettings::productionTelemetryHost) +
                               "/v2/telemetry/events";
  auto telemetry = make(testing::validStagingConfiguration());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    server_.setHandler([&](const RecordedRequest& r) {
      std::string id = eventIdOf(r);
      if (cases[i].upperCase) std::transform(id.begin(), id.end(), id.begin(), ::toupper);
      auto response = ScriptedResponse::withStatus(
          cases[i].status, receiptFor(id) + std::string(cases[i].padding, ' '));
      if (cases[i].status == 307) response.headers = {{"Location", location}};
      return response;
    });
    record(*telemetry, "vexa_download_failed");
    ASSERT_EQ(server_.requests().size(), i + 1);  // a redirect is not followed
    const RecordedRequest request = server_.requests().back();
    EXPECT_EQ(request.header("Host"), DeploymentSettings::stagingTelemetryHost);
    const fs::path file = events() / (eventIdOf(request) + ".json");
    EXPECT_EQ(readFile(file), request.body);
    EXPECT_EQ(testing::permissionBits(file), 0600u);
    EXPECT_EQ(count(".sent"), 0u);
  }
}

TEST_F(TelemetryServiceTest, GoodReceipt_RemovesTheFileEvenWhenTheMarkerCannotBeWritten) {
  server_.setHandler([this](const RecordedRequest& r) {
    fs::create_directory(events() / (eventIdOf(r) + ".sent"));  // a folder in the marker's place
    return ScriptedResponse::withStatus(202, receiptFor(eventIdOf(r)));
  });
  auto telemetry = make();
  record(*telemetry, "vexa_install_completed");
  ASSERT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(count(".json"), 0u);
  EXPECT_TRUE(fs::is_directory(events() / (eventIdOf(server_.requests()[0]) + ".sent")));
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

TEST_F(TelemetryServiceTest, UnusableIdentityOrEventsFolder_DropsTheEvent) {
  const std::function<void()> cases[] = {
      [&] { testing::writeFile(folder() / "identity.json", R"({"schema_version":2})"); },
      [&] { testing::writeFile(folder() / "identity.lock", ""); },
      [&] { fs::create_directory_symlink(temporary_.path(), events()); },
  };
  for (const auto& prepare : cases) {
    fs::remove_all(folder());
    fs::create_directories(folder());
    prepare();
    record(*make(), "vexa_install_started");
    EXPECT_TRUE(server_.requests().empty());
    EXPECT_EQ(count(".json"), 0u);
  }
}

TEST_F(TelemetryServiceTest, DestroyedWhileSubmitting_TheReceiptIsStillHandled) {
  auto telemetry = make();
  telemetry->record("vexa_install_completed");
  telemetry.reset();  // the recording finishes during destruction; its submission outlives it
  EXPECT_TRUE(
      testing::runEventLoopUntil([&] { return count(".sent") == 1 && count(".json") == 0; }));
}

// Given several installers recording into one folder at once, the identity lock lets exactly one
// create the identity: every stored event carries it and no lock file stays. Events that met a
// held lock were dropped, so fewer than all may exist.
TEST(InstallerTelemetryProcessesTest, ConcurrentRecorders_ShareOneIdentityAndReleaseTheLock) {
  testing::TemporaryDirectory temporary;
  const fs::path folder = temporary / "Attribution";
  std::vector<std::unique_ptr<testing::BackgroundProgram>> recorders;
  for (int i = 1; i <= 8; ++i) {
    recorders.push_back(std::make_unique<testing::BackgroundProgram>(
        fs::path(VEXA_TEST_PROGRAMS_DIR) / "telemetry_recorder",
        std::vector<std::string>{"telemetry_recorder", folder.string(), "6",
                                 "--cid=" + std::to_string(i) + ".5"}));
  }
  for (auto& recorder : recorders) EXPECT_EQ(recorder->wait().exitStatus, 0);

  EXPECT_FALSE(fs::exists(folder / "identity.lock"));
  const TelemetryIdentity identity = InstallerTelemetry::identity(folder, std::nullopt);
  std::set<std::pair<std::string, std::string>> seen;  // client and campaign of every event
  for (const auto& entry : fs::directory_iterator(folder / "events")) {
    const nlohmann::json record = nlohmann::json::parse(readFile(entry.path()));
    seen.emplace(record.at("client_id"), record.at("attribution_cid"));
  }
  EXPECT_EQ(seen, (std::set<std::pair<std::string, std::string>>{
                      {identity.analyticsClientId, *identity.attributionCid}}));
}

}  // namespace
}  // namespace vexa
