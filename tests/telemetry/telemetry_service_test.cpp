#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/deployment_settings.h"
#include "telemetry/installer_telemetry.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/https_test_server.h"
#include "tests/support/qt_application.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using namespace std::chrono_literals;
using testing::permissionBits;
using testing::readFile;
using testing::RecordedRequest;
using testing::ScriptedResponse;

// 2026-12-06T17:32:42.125Z
const std::chrono::system_clock::time_point kPinnedTime =
    std::chrono::sys_days{std::chrono::year{2026} / 12 / 6} + 17h + 32min + 42s + 125ms;

std::string eventIdOf(const RecordedRequest& request) {
  return nlohmann::json::parse(request.body).at("event_id").get<std::string>();
}

std::string receiptFor(const std::string& eventId) {
  return nlohmann::json{{"event_id", eventId}, {"accepted", true}, {"receipt", "durably_received"}}.dump();
}

ScriptedResponse goodReceipt(const RecordedRequest& request) {
  return ScriptedResponse::withStatus(202, receiptFor(eventIdOf(request)));
}

// A telemetry object recording into a private folder and posting to the scripted server, which by
// default confirms every event.
class TelemetryServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ensureQtApplication();
    server_.setHandler(goodReceipt);
  }

  std::unique_ptr<InstallerTelemetry> makeTelemetry(InstallConfiguration configuration = testing::validProductionConfiguration(),
                                                    std::optional<std::string> cid = std::nullopt) {
    InstallerTelemetryOptions options;
    options.campaignIdentifier = std::move(cid);
    options.sessionConfiguration = [this] { return server_.sessionConfiguration(); };
    options.clock = [] { return kPinnedTime; };
    return std::make_unique<InstallerTelemetry>(std::move(configuration), folder(), std::move(options));
  }

  static void settle(const InstallerTelemetry& telemetry) {
    ASSERT_TRUE(testing::runEventLoopUntil([&] { return telemetry.idle(); }));
  }

  std::filesystem::path folder() const { return temporary_ / "Vexa" / "Attribution"; }
  std::filesystem::path events() const { return folder() / "events"; }

  // File names in the events folder with this extension.
  std::set<std::string> eventFiles(const std::string& extension) const {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(events(), error)) {
      if (entry.path().extension() == extension) names.insert(entry.path().filename().string());
    }
    return names;
  }

  testing::TemporaryDirectory temporary_;
  testing::HttpsTestServer server_;
};

TEST_F(TelemetryServiceTest, UnacceptedNames_DoNothing) {
  auto telemetry = makeTelemetry();
  for (const char* name : {"", "vexa_downloader_open_now", "vexa_install_", "VEXA_DOWNLOADER_OPEN", "vexa_open",
                           " vexa_install_started"}) {
    telemetry->record(name);
    EXPECT_TRUE(telemetry->idle()) << name;
  }
  telemetry.reset();  // lets anything queued run
  EXPECT_FALSE(std::filesystem::exists(folder()));
  EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(TelemetryServiceTest, AcceptedNames_PostTheirRecordsAndConfirmedFilesGo) {
  const struct {
    const char* name;
    const char* component;
    const char* action;
    const char* state;
  } cases[] = {
      {"vexa_downloader_open", "downloader", "open", "success"},
      {"vexa_download_started", "downloader", "download", "started"},
      {"vexa_download_paused", "downloader", "download", "paused"},
      {"vexa_download_resumed", "downloader", "download", "resumed"},
      {"vexa_download_completed", "downloader", "download", "success"},
      {"vexa_download_failed", "downloader", "download", "failed"},
      {"vexa_install_started", "installer", "install", "started"},
      {"vexa_install_completed", "installer", "install", "success"},
      {"vexa_install_failed", "installer", "install", "failed"},
  };
  const InstallConfiguration configuration = testing::validProductionConfiguration();
  auto telemetry = makeTelemetry(configuration);
  for (const auto& c : cases) telemetry->record(c.name);
  settle(*telemetry);

  const TelemetryIdentity identity = InstallerTelemetry::identity(folder(), std::nullopt);
  const std::vector<RecordedRequest> requests = server_.requests();
  ASSERT_EQ(requests.size(), std::size(cases));
  std::map<std::string, nlohmann::json> byName;
  std::set<std::string> eventIds;
  for (const RecordedRequest& request : requests) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/v2/telemetry/events");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Host"), DeploymentSettings::productionTelemetryHost);
    for (const auto& [header, value] : request.headers) {
      EXPECT_TRUE(header == "Host" || header == "Content-Type" || header == "Content-Length") << header;
    }
    const nlohmann::json record = nlohmann::json::parse(request.body);
    EXPECT_EQ(request.body, nlohmann::ordered_json::parse(request.body).dump()) << "not compact";
    eventIds.insert(record.at("event_id").get<std::string>());
    byName[record.at("event_name").get<std::string>()] = record;
  }
  EXPECT_EQ(eventIds.size(), std::size(cases));

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const nlohmann::json& record = byName[c.name];
    EXPECT_EQ(record.size(), 18u);
    EXPECT_EQ(record["component"], c.component);
    EXPECT_EQ(record["page"], c.component);
    EXPECT_EQ(record["action"], c.action);
    EXPECT_EQ(record["state"], c.state);
    EXPECT_EQ(record["schema_version"], 2);
    EXPECT_EQ(record["product_id"], "vexa-desktop");
    EXPECT_EQ(record["environment"], configuration.environment);
    EXPECT_EQ(record["os"], "macos");
    EXPECT_EQ(record["arch"], configuration.arch);
    EXPECT_EQ(record["version"], configuration.productVersion);
    EXPECT_EQ(record["build_number"], configuration.buildNumber);
    EXPECT_EQ(record["collection_enabled"], true);
    EXPECT_EQ(record["installer_kind"], "bootstrap");
    EXPECT_EQ(record["occurred_at"], "2026-12-06T17:32:42.125Z");
    EXPECT_EQ(record["client_id"], identity.analyticsClientId);
    EXPECT_EQ(record["attempt_id"], telemetry->attempt());
    EXPECT_TRUE(TelemetryIdentity::isClientIdentifier(record["event_id"].get<std::string>()));
  }

  // Every confirmed event left its marker in place of its file.
  EXPECT_TRUE(eventFiles(".json").empty());
  const std::set<std::string> markers = eventFiles(".sent");
  ASSERT_EQ(markers.size(), std::size(cases));
  for (const std::string& id : eventIds) {
    ASSERT_TRUE(markers.count(id + ".sent")) << id;
    EXPECT_EQ(readFile(events() / (id + ".sent")), R"({"schema_version":1,"occurred_at":"2026-12-06T17:32:42.125Z"})");
    EXPECT_EQ(permissionBits(events() / (id + ".sent")), 0600u);
  }
  EXPECT_EQ(permissionBits(events()), 0700u);
}

TEST_F(TelemetryServiceTest, UnconfirmedEvents_KeepTheirFileAsPosted) {
  const std::string location = "https://" + std::string(DeploymentSettings::productionTelemetryHost) + "/v2/telemetry/events";
  const struct {
    const char* name;
    std::function<ScriptedResponse(const RecordedRequest&)> answer;
  } cases[] = {
      {"status 200", [](const RecordedRequest& r) { return ScriptedResponse::withStatus(200, receiptFor(eventIdOf(r))); }},
      {"event_id in upper case",
       [](const RecordedRequest& r) {
         std::string id = eventIdOf(r);
         for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
         return ScriptedResponse::withStatus(202, receiptFor(id));
       }},
      {"body over 2048 bytes",
       [](const RecordedRequest& r) {
         std::string body = receiptFor(eventIdOf(r));
         return ScriptedResponse::withStatus(202, body + std::string(2049 - body.size(), ' '));
       }},
      {"redirect",
       [&location](const RecordedRequest& r) {
         ScriptedResponse response = ScriptedResponse::withStatus(307, receiptFor(eventIdOf(r)));
         response.headers = {{"Location", location}};
         return response;
       }},
      {"connection reset",
       [](const RecordedRequest& r) {
         ScriptedResponse response = ScriptedResponse::withStatus(202, receiptFor(eventIdOf(r)));
         response.ending = ScriptedResponse::Ending::reset;
         response.sendBytes = 5;
         return response;
       }},
  };
  auto telemetry = makeTelemetry();
  std::size_t posted = 0;
  for (const auto& [name, answer] : cases) {
    SCOPED_TRACE(name);
    server_.setHandler(answer);
    telemetry->record("vexa_download_failed");
    settle(*telemetry);

    // Exactly one request (a redirect is not followed), and its body is the stored file, unchanged.
    ASSERT_EQ(server_.requestCount(), ++posted);
    const RecordedRequest request = server_.requests().back();
    const std::filesystem::path file = events() / (eventIdOf(request) + ".json");
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(readFile(file), request.body);
    EXPECT_EQ(permissionBits(file), 0600u);
    EXPECT_TRUE(eventFiles(".sent").empty());
  }
}

TEST_F(TelemetryServiceTest, GoodReceipt_RemovesTheFileEvenWhenTheMarkerCannotBeWritten) {
  // Given a folder in the marker's place, so that writing the marker fails.
  server_.setHandler([this](const RecordedRequest& request) {
    std::filesystem::create_directory(events() / (eventIdOf(request) + ".sent"));
    return goodReceipt(request);
  });
  auto telemetry = makeTelemetry();
  telemetry->record("vexa_install_completed");
  settle(*telemetry);

  ASSERT_EQ(server_.requestCount(), 1u);
  const std::string id = eventIdOf(server_.requests().front());
  EXPECT_FALSE(std::filesystem::exists(events() / (id + ".json")));
  EXPECT_TRUE(std::filesystem::is_directory(events() / (id + ".sent")));
}

TEST_F(TelemetryServiceTest, Environment_ChoosesTheTelemetryHost) {
  const struct {
    const char* environment;
    std::string_view host;
  } cases[] = {
      {"production", DeploymentSettings::productionTelemetryHost},
      {"staging", DeploymentSettings::stagingTelemetryHost},
      {"Production", DeploymentSettings::stagingTelemetryHost},
  };
  for (const auto& [environment, host] : cases) {
    SCOPED_TRACE(environment);
    InstallConfiguration configuration = testing::validStagingConfiguration();
    configuration.environment = environment;
    auto telemetry = makeTelemetry(configuration);
    telemetry->record("vexa_downloader_open");
    settle(*telemetry);
    EXPECT_EQ(server_.requests().back().header("Host"), host);
    EXPECT_EQ(nlohmann::json::parse(server_.requests().back().body)["environment"], environment);
  }
  EXPECT_EQ(server_.requestCount(), std::size(cases));
}

TEST_F(TelemetryServiceTest, CampaignIdentifier_IsStoredAndCarriedByEveryEvent) {
  auto telemetry = makeTelemetry(testing::validProductionConfiguration(), "123.456");
  telemetry->record("vexa_downloader_open");
  telemetry->record("vexa_download_started");
  settle(*telemetry);
  ASSERT_EQ(server_.requestCount(), 2u);
  for (const RecordedRequest& request : server_.requests()) {
    const nlohmann::json record = nlohmann::json::parse(request.body);
    EXPECT_EQ(record.size(), 19u);
    EXPECT_EQ(record["attribution_cid"], "123.456");
  }
  EXPECT_EQ(InstallerTelemetry::identity(folder(), std::nullopt).attributionCid, "123.456");
}

TEST_F(TelemetryServiceTest, PendingLimit_CountsOnlyEventFiles) {
  // Given 199 waiting events, and markers and other files that must not count.
  std::filesystem::create_directories(events());
  for (int i = 0; i < 199; ++i) testing::writeFile(events() / ("pending-" + std::to_string(i) + ".json"), "{}");
  for (int i = 0; i < 50; ++i) testing::writeFile(events() / ("done-" + std::to_string(i) + ".sent"), "{}");
  testing::writeFile(events() / "notes.json.txt", "");
  server_.setHandler([](const RecordedRequest&) { return ScriptedResponse::withStatus(503); });

  auto telemetry = makeTelemetry();
  telemetry->record("vexa_download_started");  // the 200th waiting event
  settle(*telemetry);
  telemetry->record("vexa_download_paused");  // over the limit: dropped
  settle(*telemetry);

  EXPECT_EQ(server_.requestCount(), 1u);
  EXPECT_EQ(eventFiles(".json").size(), 200u);
}

TEST_F(TelemetryServiceTest, UnusableIdentityOrEventsFolder_DropsTheEvent) {
  const std::string validIdentity = R"({"schema_version":1,"analytics_client_id":"0f3c2a9e-5b1d-4c7e-9a2f-8d6b4e1c0a7f"})";
  const struct {
    const char* name;
    std::function<void(const std::filesystem::path& folder)> prepare;
  } cases[] = {
      {"corrupt identity", [](const auto& f) { testing::writeFile(f / "identity.json", R"({"schema_version":2})"); }},
      {"stale lock", [](const auto& f) { testing::writeFile(f / "identity.lock", ""); }},
      {"events folder is a link",
       [&](const auto& f) {
         testing::writeFile(f / "identity.json", validIdentity);
         std::filesystem::create_directories(f.parent_path() / "elsewhere");
         std::filesystem::create_directory_symlink(f.parent_path() / "elsewhere", f / "events");
       }},
      {"events is a file",
       [&](const auto& f) {
         testing::writeFile(f / "identity.json", validIdentity);
         testing::writeFile(f / "events", "");
       }},
  };
  for (const auto& [name, prepare] : cases) {
    SCOPED_TRACE(name);
    std::filesystem::remove_all(temporary_ / "Vexa");
    std::filesystem::create_directories(folder());
    prepare(folder());
    auto telemetry = makeTelemetry();
    telemetry->record("vexa_install_started");
    settle(*telemetry);
    EXPECT_EQ(server_.requestCount(), 0u);
    EXPECT_TRUE(eventFiles(".json").empty());
    EXPECT_TRUE(!std::filesystem::exists(temporary_ / "Vexa" / "elsewhere") ||
                std::filesystem::is_empty(temporary_ / "Vexa" / "elsewhere"));
  }
}

TEST_F(TelemetryServiceTest, DestroyedWhileSubmitting_TheReceiptIsStillHandled) {
  auto telemetry = makeTelemetry();
  telemetry->record("vexa_install_completed");
  telemetry.reset();  // the recording finishes during destruction; the submission outlives the object

  ASSERT_TRUE(testing::runEventLoopUntil([&] {
    return server_.requestCount() == 1 && eventFiles(".json").empty() && eventFiles(".sent").size() == 1;
  }));
}

}  // namespace
}  // namespace vexa
