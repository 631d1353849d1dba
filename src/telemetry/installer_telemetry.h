#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/install_configuration.h"
#include "platform/internet_date_time.h"
#include "platform/url_session.h"
#include "telemetry/telemetry_identity.h"

namespace vexa {

namespace platform {
class RepeatingTimer;
class SerialQueue;
}  // namespace platform

// Services InstallerTelemetry uses, with their production defaults. Tests route the session to a
// loopback server and trust its authority through `sessionConfiguration`, and pin the clock.
struct InstallerTelemetryOptions {
  // The attribution campaign identifier handed to the installer (see campaignIdentifier()); stored
  // in the identity only when it is well formed and none is stored yet.
  std::optional<std::string> campaignIdentifier;
  // Called once per submitted event, on the main thread, for that event's own session.
  std::function<platform::UrlSessionConfiguration()> sessionConfiguration =
      &platform::UrlSessionConfiguration::ephemeral;
  platform::Clock clock = &platform::systemClock;
};

// The campaign identifier on a command line (the program path included): the rest of the first
// argument that begins with "--cid=", possibly empty; none without such an argument.
[[nodiscard]] std::optional<std::string> campaignIdentifier(
    const std::vector<std::string>& arguments);

// The telemetry folder used when none is given: "<application support>/<productName>/Attribution".
[[nodiscard]] std::filesystem::path defaultTelemetryDirectory(
    const InstallConfiguration& configuration);

// Whether the telemetry service confirmed that it stored event `eventId` for good: status 202 and
// a body of at most 2048 bytes that is a JSON object with "event_id" exactly `eventId`, "accepted"
// true and "receipt" "durably_received". Pure.
[[nodiscard]] bool isAcceptedReceipt(int statusCode, std::string_view body,
                                     std::string_view eventId);

// Records the events of one installation attempt and reports each once to the telemetry service.
//
// record() accepts only the installer's event names. Each accepted event becomes a JSON record
// (with the account's anonymous identity, see identity()) stored as "<event_id>.json" in the
// "events" folder of the telemetry folder, and is then posted once, each event over its own URL
// session; a file whose durable receipt arrives is replaced by a "<event_id>.sent" marker. At most
// 200 event files wait at any time. An event left without a receipt stays stored and is posted
// again by the next installer to start (once per start, byte for byte): each object, when created,
// posts the stored events that no process is sending. A file is sent by one process at a time:
// its sender holds a claim on it (platform::ClaimedFile) from before the post until the file is
// confirmed and gone or kept, so two installers sharing the folder never post one event at once,
// and an event confirmed by one is never posted by the other. Stored events another installer is
// still sending are looked at again every 2 seconds until it lets them go.
//
// Threading: construct, call record() and destroy on the main thread (the one running the Qt event
// loop, which also drives the 2-second look again). The recording steps run one after the other on
// a private serial queue; sessions are created and driven on the main thread; receipt file work
// returns to the serial queue. Destroying the object lets queued recordings finish; submissions
// still in flight complete on their own.
//
// Failures: none ever reaches the caller or the user, and nothing is logged. A failing identity,
// events folder, pending limit or event file drops the event (an identity lock held by another
// installer is waited for up to about half a second first); a failed submission keeps the file;
// failures writing the marker or removing the file are ignored.
class InstallerTelemetry {
 public:
  // `directory` absent means defaultTelemetryDirectory(configuration).
  InstallerTelemetry(InstallConfiguration configuration,
                     std::optional<std::filesystem::path> directory,
                     InstallerTelemetryOptions options = {});
  ~InstallerTelemetry();
  InstallerTelemetry(const InstallerTelemetry&) = delete;
  InstallerTelemetry& operator=(const InstallerTelemetry&) = delete;

  // Returns at once. Unknown names are ignored.
  void record(std::string_view event);

  // True when no recording or submission of this object is under way (each ends in a stored,
  // dropped, confirmed or kept event), stored events it posts again included; events it waits for
  // another installer to let go do not count. Any thread.
  [[nodiscard]] bool idle() const;

  // Cancels every submission in flight; their files stay for a later start, as for any event
  // without a receipt. Their sessions (which keep themselves alive while their transfer runs) let
  // go once the main thread has handled the completions this posts. Main thread only.
  void cancelSubmissions();

  [[nodiscard]] const std::string& attempt() const;
  [[nodiscard]] const std::filesystem::path& directory() const;

  // The names record() accepts.
  [[nodiscard]] static const std::vector<std::string_view>& acceptedEvents();

  // Creates, validates and, when a campaign identifier is first given, updates the identity in
  // `folder` (created 0700 with its parents), under the cross-process lock file "identity.lock",
  // which is created exclusively and removed on every way out. Never repairs a bad identity file.
  // Throws std::system_error: platform::FileError::fileReadNoPermission when `folder` passes
  // through a symbolic link, fileLocking when the lock file exists or cannot be created,
  // fileReadCorruptFile when "identity.json" is not a regular file of at most 4096 bytes holding
  // exactly the identity members with valid values; otherwise the system's error. Blocking; any
  // thread, though within the installer only the telemetry queue calls it.
  [[nodiscard]] static TelemetryIdentity identity(const std::filesystem::path& folder,
                                                  const std::optional<std::string>& cid);

  // The state queued recordings and submissions in flight share with this object; opaque.
  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<platform::RepeatingTimer> retryTimer_;
  std::shared_ptr<platform::SerialQueue> worker_;
};

}  // namespace vexa
