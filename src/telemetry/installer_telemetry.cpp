#include "telemetry/installer_telemetry.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/claimed_file.h"
#include "platform/deployment_settings.h"
#include "platform/file_error.h"
#include "platform/file_lock.h"
#include "platform/file_reading.h"
#include "platform/main_thread.h"
#include "platform/path_safety.h"
#include "platform/private_directory.h"
#include "platform/random_uuid.h"
#include "platform/repeating_timer.h"
#include "platform/serial_queue.h"
#include "platform/standard_locations.h"
#include "telemetry/event_submission.h"

namespace vexa {
namespace {

constexpr std::size_t kMaximumPendingEvents = 200;
// A stored event is a few hundred bytes; anything far larger is not one of ours.
constexpr std::size_t kMaximumStoredEventBytes = 16 * 1024;
// How often stored events that another process was sending are looked at again.
constexpr std::chrono::seconds kStoredRetryInterval{2};
// How long an event waits for another process's identity lock before it is dropped.
constexpr int kIdentityAttempts = 25;
constexpr std::chrono::milliseconds kIdentityRetryDelay{20};

std::string lowerCaseUuid() {
  std::string uuid = platform::randomUuid();
  std::transform(uuid.begin(), uuid.end(), uuid.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return uuid;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}
bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The record members derived from the event name.
std::string_view componentOf(std::string_view event) {
  return startsWith(event, "vexa_install_") ? "installer" : "downloader";
}
std::string_view actionOf(std::string_view event) {
  if (startsWith(event, "vexa_install_")) return "install";
  return event == "vexa_downloader_open" ? "open" : "download";
}
std::string_view stateOf(std::string_view event) {
  if (endsWith(event, "_paused")) return "paused";
  if (endsWith(event, "_resumed")) return "resumed";
  if (endsWith(event, "_failed")) return "failed";
  if (endsWith(event, "_started")) return "started";
  return "success";
}

// The event identifier a stored event file is named after ("<event_id>.json"); nothing for any
// other name (temporary files, receipt markers, foreign files).
std::optional<std::string> storedEventId(const std::filesystem::path& file) {
  const std::string name = file.filename().string();
  if (name.size() != 36 + 5 || !endsWith(name, ".json")) return std::nullopt;
  const std::string id = name.substr(0, 36);
  for (std::size_t at = 0; at < id.size(); ++at) {
    const bool dash = at == 8 || at == 13 || at == 18 || at == 23;
    if (dash ? id[at] != '-'
             : !std::isxdigit(static_cast<unsigned char>(id[at])) ||
                   std::isupper(static_cast<unsigned char>(id[at])))
      return std::nullopt;
  }
  return id;
}

// Two installers run side by side for a moment when one is closing as the next starts, and each
// holds the identity lock for a few milliseconds per event: an event finding it taken tries again
// for a moment rather than being dropped. A lock file left by a crashed process still drops it.
TelemetryIdentity identityWaitingBriefly(const std::filesystem::path& folder,
                                         const std::optional<std::string>& cid) {
  for (int attempt = 1;; ++attempt) {
    try {
      return InstallerTelemetry::identity(folder, cid);
    } catch (const std::system_error& error) {
      if (error.code() != platform::FileError::fileLocking || attempt == kIdentityAttempts) throw;
    }
    std::this_thread::sleep_for(kIdentityRetryDelay);
  }
}

std::size_t pendingEventCount(const std::filesystem::path& events) {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(events)) {
    if (endsWith(entry.path().filename().native(), ".json")) ++count;
  }
  return count;
}

constexpr const char* kIdentityFile = "identity.json";
constexpr const char* kIdentityLockFile = "identity.lock";

[[noreturn]] void throwFileError(platform::FileError error, const std::filesystem::path& path) {
  throw std::system_error(error, path.string());
}

// The stored identity, or nothing when there is no identity file yet. Every content rule is
// checked; any violation is fileReadCorruptFile.
std::optional<TelemetryIdentity> readIdentity(const std::filesystem::path& file) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::symlink_status(file, error);
  if (error == std::errc::no_such_file_or_directory) return std::nullopt;
  if (error) throw std::system_error(error, "cannot examine " + file.string());
  // A link that leads nowhere is no identity file: a new record is written in its place, and the
  // atomic rename replaces the link itself, never what it names. A link to an existing item is not
  // a regular file and fails below like any other kind.
  if (std::filesystem::is_symlink(status)) {
    (void)std::filesystem::status(file, error);
    if (error) return std::nullopt;
  }
  if (!std::filesystem::is_regular_file(status))
    throwFileError(platform::FileError::fileReadCorruptFile, file);
  // One byte more than allowed, so an oversized file (also one that grew since it was examined)
  // is noticed by parse() without holding more of it. A link swapped in meanwhile is not followed.
  const std::string text = platform::readWholeFile(
      file, {.limit = TelemetryIdentity::maximumFileBytes + 1, .followFinalLink = false});
  std::optional<TelemetryIdentity> identity = TelemetryIdentity::parse(text);
  if (!identity) throwFileError(platform::FileError::fileReadCorruptFile, file);
  return identity;
}

void writeIdentity(const std::filesystem::path& file, const TelemetryIdentity& identity) {
  nlohmann::json record = {{"schema_version", 1},
                           {"analytics_client_id", identity.analyticsClientId}};
  if (identity.attributionCid) record["attribution_cid"] = *identity.attributionCid;
  platform::writeFileAtomically(file, record.dump(), 0600);
}

}  // namespace

// What the worker queue, the submissions in flight and the object share. Immutable after
// construction apart from the counter, the retry flag and `deferred`, which only the worker uses.
struct InstallerTelemetry::Shared {
  InstallConfiguration configuration;
  std::string attempt;
  std::filesystem::path directory;
  InstallerTelemetryOptions options;
  std::atomic<int> outstanding{0};
  // Stored events found claimed by another process, to be looked at again (worker only), and
  // whether there are any (read by the retry timer).
  std::vector<std::filesystem::path> deferred;
  std::atomic<bool> retryWanted{false};
  // The sessions of the submissions in flight (main thread only), so that they can be cancelled.
  std::vector<std::weak_ptr<platform::UrlSession>> sessions;

  void recordOnWorker(const std::string& event, const std::weak_ptr<platform::SerialQueue>& worker,
                      const std::shared_ptr<Shared>& self);
  // Sends each stored event in `files` (every stored event when absent) that no process is sending;
  // those claimed elsewhere become `deferred`. Worker only.
  void sendStored(std::optional<std::vector<std::filesystem::path>> files,
                  const std::weak_ptr<platform::SerialQueue>& worker,
                  const std::shared_ptr<Shared>& self);
  // Posts the event whose file `claim` holds, from the main thread.
  void submit(std::shared_ptr<platform::ClaimedFile> claim, std::filesystem::path file,
              std::string eventId, std::string body,
              const std::weak_ptr<platform::SerialQueue>& worker,
              const std::shared_ptr<Shared>& self);
  [[nodiscard]] std::string eventRecord(const std::string& event, const TelemetryIdentity& identity,
                                        const std::string& eventId) const;
};

std::string InstallerTelemetry::Shared::eventRecord(const std::string& event,
                                                    const TelemetryIdentity& identity,
                                                    const std::string& eventId) const {
  nlohmann::ordered_json record = {
      {"schema_version", 2},
      {"product_id", "vexa-desktop"},
      {"environment", configuration.environment},
      {"component", componentOf(event)},
      {"client_id", identity.analyticsClientId},
      {"event_id", eventId},
      {"occurred_at", platform::internetDateTime(options.clock())},
      {"event_name", event},
      {"os", "macos"},
      {"arch", configuration.arch},
      {"version", configuration.productVersion},
      {"build_number", configuration.buildNumber},
      {"collection_enabled", true},
      {"installer_kind", "bootstrap"},
      {"attempt_id", attempt},
      {"action", actionOf(event)},
      {"page", componentOf(event)},
      {"state", stateOf(event)},
  };
  if (identity.attributionCid) record["attribution_cid"] = *identity.attributionCid;
  return record.dump();
}

void InstallerTelemetry::Shared::recordOnWorker(const std::string& event,
                                                const std::weak_ptr<platform::SerialQueue>& worker,
                                                const std::shared_ptr<Shared>& self) {
  std::filesystem::path file;
  std::string eventId;
  std::string body;
  std::shared_ptr<platform::ClaimedFile> claim;
  try {
    const TelemetryIdentity identity =
        identityWaitingBriefly(directory, options.campaignIdentifier);
    eventId = lowerCaseUuid();
    body = eventRecord(event, identity, eventId);

    const std::filesystem::path events = directory / "events";
    platform::createPrivateDirectories(events);
    // A linked events folder, or as many waiting events as are ever kept: drop this one.
    if (!platform::resolvesToItself(events) || pendingEventCount(events) >= kMaximumPendingEvents) {
      --outstanding;
      return;
    }

    file = events / (eventId + ".json");
    platform::writeFileAtomically(file, body, 0600);
    // Another installer starting just now may have taken the new file up already; it sends it.
    std::optional<platform::ClaimedFile> claimed = platform::ClaimedFile::tryClaim(file);
    if (!claimed) {
      --outstanding;
      return;
    }
    claim = std::make_shared<platform::ClaimedFile>(std::move(*claimed));
  } catch (...) {
    --outstanding;  // dropped: nothing is reported (a file already written stays)
    return;
  }
  submit(std::move(claim), std::move(file), std::move(eventId), std::move(body), worker, self);
}

void InstallerTelemetry::Shared::submit(std::shared_ptr<platform::ClaimedFile> claim,
                                        std::filesystem::path file, std::string eventId,
                                        std::string body,
                                        const std::weak_ptr<platform::SerialQueue>& worker,
                                        const std::shared_ptr<Shared>& self) {
  platform::postToMainThread([self, worker, claim, file, eventId, body] {
    const std::string_view host = self->configuration.environment == "production"
                                      ? DeploymentSettings::productionTelemetryHost
                                      : DeploymentSettings::stagingTelemetryHost;
    try {
      // The counter's pointer keeps the shared state alive until the event is settled.
      auto submission = std::make_shared<EventSubmission>(
          std::shared_ptr<std::atomic<int>>(self, &self->outstanding), self->options.clock, worker,
          claim, file, eventId);
      submission->start(body, host, self->options.sessionConfiguration());
      std::erase_if(self->sessions, [](const auto& session) { return session.expired(); });
      self->sessions.push_back(submission->session());
    } catch (...) {
      --self->outstanding;  // no session could be made: the file stays, like any unconfirmed event
    }
  });
}

void InstallerTelemetry::Shared::sendStored(std::optional<std::vector<std::filesystem::path>> files,
                                            const std::weak_ptr<platform::SerialQueue>& worker,
                                            const std::shared_ptr<Shared>& self) {
  std::vector<std::filesystem::path> claimedElsewhere;
  try {
    const std::filesystem::path events = directory / "events";
    std::error_code error;
    if (!files) {
      if (!std::filesystem::is_directory(std::filesystem::symlink_status(events, error)) ||
          !platform::resolvesToItself(events))
        return;
      files.emplace();
      for (const auto& entry : std::filesystem::directory_iterator(events)) {
        files->push_back(entry.path());
      }
    }
    for (const std::filesystem::path& file : *files) {
      const std::optional<std::string> eventId = storedEventId(file);
      if (!eventId) continue;
      try {
        std::optional<platform::ClaimedFile> claimed = platform::ClaimedFile::tryClaim(file);
        if (!claimed) {
          if (std::filesystem::exists(std::filesystem::symlink_status(file, error)))
            claimedElsewhere.push_back(file);
          continue;
        }
        // Only what is plainly one of our events is posted, byte for byte as it was stored; the
        // rest stays, counting towards the limit.
        std::string body = claimed->read(kMaximumStoredEventBytes + 1);
        const nlohmann::json record = nlohmann::json::parse(body, nullptr, false);
        if (body.size() > kMaximumStoredEventBytes || !record.is_object() ||
            record.value("event_id", nlohmann::json()) != *eventId)
          continue;
        ++outstanding;
        submit(std::make_shared<platform::ClaimedFile>(std::move(*claimed)), file, *eventId,
               std::move(body), worker, self);
      } catch (const std::system_error&) {
        // Not a file that can be sent (a link, a folder, unreadable): left alone.
      }
    }
  } catch (...) {
    // The folder could not be listed: the stored events wait for the next start.
  }
  deferred = std::move(claimedElsewhere);
  retryWanted = !deferred.empty();
}

std::optional<std::string> campaignIdentifier(const std::vector<std::string>& arguments) {
  constexpr std::string_view prefix = "--cid=";
  for (const std::string& argument : arguments) {
    if (startsWith(argument, prefix)) return argument.substr(prefix.size());
  }
  return std::nullopt;
}

std::filesystem::path defaultTelemetryDirectory(const InstallConfiguration& configuration) {
  return platform::applicationSupportDirectory() / (configuration.productName + "/Attribution");
}

bool isAcceptedReceipt(int statusCode, std::string_view body, std::string_view eventId) {
  if (statusCode != 202 || body.size() > EventSubmission::maximumReceiptBytes) return false;
  const nlohmann::json receipt = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!receipt.is_object()) return false;
  const auto id = receipt.find("event_id");
  const auto accepted = receipt.find("accepted");
  const auto kind = receipt.find("receipt");
  return id != receipt.end() && id->is_string() && *id == eventId && accepted != receipt.end() &&
         accepted->is_boolean() && *accepted == true && kind != receipt.end() &&
         kind->is_string() && *kind == "durably_received";
}

InstallerTelemetry::InstallerTelemetry(InstallConfiguration configuration,
                                       std::optional<std::filesystem::path> directory,
                                       InstallerTelemetryOptions options)
    : shared_(std::make_shared<Shared>()),
      worker_(std::make_shared<platform::SerialQueue>("ai.quorrin.installer.telemetry")) {
  shared_->directory = directory ? std::move(*directory) : defaultTelemetryDirectory(configuration);
  shared_->configuration = std::move(configuration);
  shared_->attempt = lowerCaseUuid();
  shared_->options = std::move(options);
  // The events an earlier installer stored without a receipt are sent now, before any of this
  // one's; those another installer is still sending are looked at again until it lets them go.
  ++shared_->outstanding;
  worker_->async([shared = shared_, worker = std::weak_ptr(worker_)] {
    shared->sendStored(std::nullopt, worker, shared);
    --shared->outstanding;
  });
  retryTimer_ = platform::startRepeatingTimer(
      kStoredRetryInterval, [shared = shared_, worker = std::weak_ptr(worker_)] {
        const auto queue = worker.lock();
        if (!queue || !shared->retryWanted.exchange(false)) return;
        queue->async([shared, worker] { shared->sendStored(shared->deferred, worker, shared); });
      });
}

// The timer stops first; worker_ goes next (declared last): queued recordings finish, then the
// queue's thread is joined.
InstallerTelemetry::~InstallerTelemetry() { retryTimer_.reset(); }

void InstallerTelemetry::cancelSubmissions() {
  // Cancelling completes each task at once (unconfirmed, so its file stays); a copy, since the
  // completions may touch the list.
  const std::vector<std::weak_ptr<platform::UrlSession>> sessions = shared_->sessions;
  for (const auto& weak : sessions)
    if (const auto session = weak.lock()) session->invalidateAndCancel();
}

void InstallerTelemetry::record(std::string_view event) {
  const auto& accepted = acceptedEvents();
  if (std::find(accepted.begin(), accepted.end(), event) == accepted.end()) return;
  ++shared_->outstanding;
  worker_->async([shared = shared_, worker = std::weak_ptr(worker_), name = std::string(event)] {
    shared->recordOnWorker(name, worker, shared);
  });
}

bool InstallerTelemetry::idle() const { return shared_->outstanding.load() == 0; }

const std::string& InstallerTelemetry::attempt() const { return shared_->attempt; }

const std::filesystem::path& InstallerTelemetry::directory() const { return shared_->directory; }

const std::vector<std::string_view>& InstallerTelemetry::acceptedEvents() {
  static const std::vector<std::string_view> names = {
      "vexa_downloader_open",  "vexa_download_completed", "vexa_download_failed",
      "vexa_install_started",  "vexa_install_completed",  "vexa_install_failed",
      "vexa_download_started", "vexa_download_paused",    "vexa_download_resumed",
  };
  return names;
}

TelemetryIdentity InstallerTelemetry::identity(const std::filesystem::path& folder,
                                               const std::optional<std::string>& cid) {
  // Judged before anything is created, so no folder is ever made behind a link; the creation
  // itself follows no link either.
  if (!platform::resolvesToItself(folder))
    throwFileError(platform::FileError::fileReadNoPermission, folder);
  platform::createPrivateDirectories(folder);

  const platform::ExclusiveLockFile lock(folder / kIdentityLockFile);
  const std::filesystem::path file = folder / kIdentityFile;
  const bool usableCid = cid.has_value() && TelemetryIdentity::isCampaignIdentifier(*cid);

  std::optional<TelemetryIdentity> stored = readIdentity(file);
  if (stored && (stored->attributionCid || !usableCid)) return *stored;  // nothing to change

  TelemetryIdentity identity = stored.value_or(TelemetryIdentity{});
  if (!stored) identity.analyticsClientId = lowerCaseUuid();
  if (usableCid) identity.attributionCid = *cid;
  writeIdentity(file, identity);
  return identity;
}

}  // namespace vexa
