#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/claimed_file.h"
#include "platform/internet_date_time.h"
#include "platform/serial_queue.h"
#include "platform/url_session.h"

namespace vexa {

// One stored telemetry event posted to the telemetry service over a URL session of its own, and
// what its receipt means for the stored file: a durable receipt (isAcceptedReceipt()) replaces the
// file with a "<event_id>.sent" marker; anything else keeps the file for a later start. A redirect
// is never followed and a body beyond maximumReceiptBytes is cut off: neither can be a receipt.
//
// Owns itself from start() until its task has completed and the receipt has been handled, so that
// it outlives neither more nor less than its transfer; the telemetry object that made it may be
// gone by then. The claim on the file is held until the event is settled, so no other process
// takes the file up before it is confirmed and gone (or left for a later start); settling also
// decrements `outstanding`.
//
// Threading: created, started and driven on the main thread; the settling (marker, removal and the
// decrement) runs on `worker`, or on the main thread when that queue is gone.
//
// Failures: start() throws when no session can be made (nothing is then settled: the caller
// counts the event as done). After that nothing throws: a failed transfer keeps the file, and
// failures writing the marker or removing the file are ignored.
class EventSubmission final : public platform::UrlSessionDelegate,
                              public std::enable_shared_from_this<EventSubmission> {
 public:
  // The largest receipt body the service sends.
  static constexpr std::size_t maximumReceiptBytes = 2048;

  // `outstanding` is decremented once the event is settled; whatever owns the counter is kept
  // alive by the pointer until then.
  EventSubmission(std::shared_ptr<std::atomic<int>> outstanding, platform::Clock clock,
                  std::weak_ptr<platform::SerialQueue> worker,
                  std::shared_ptr<platform::ClaimedFile> claim, std::filesystem::path file,
                  std::string eventId);

  // Posts `body` to the events path of `host`. Main thread; call once, on an object held by a
  // shared_ptr.
  void start(const std::string& body, std::string_view host,
             platform::UrlSessionConfiguration configuration);
  // The session start() made, for cancelling it; empty before.
  [[nodiscard]] std::weak_ptr<platform::UrlSession> session() const { return session_; }

  void willRedirect(platform::UrlSession&, platform::UrlDataTask&, const platform::UrlResponse&,
                    const std::string&) override;
  platform::ResponseDisposition didReceiveResponse(platform::UrlSession&, platform::UrlDataTask&,
                                                   const platform::UrlResponse& response) override;
  void didReceiveData(platform::UrlSession&, platform::UrlDataTask& task,
                      std::span<const char> data) override;
  void didComplete(platform::UrlSession& session, platform::UrlDataTask&,
                   std::exception_ptr error) override;

 private:
  // The service holds the event for good: leave a marker and drop the file. Both may fail; the
  // marker is informational, and a kept file only counts towards the pending limit.
  static void confirm(const std::filesystem::path& file, const platform::Clock& clock);

  const std::shared_ptr<std::atomic<int>> outstanding_;
  const platform::Clock clock_;
  const std::weak_ptr<platform::SerialQueue> worker_;
  const std::shared_ptr<platform::ClaimedFile> claim_;
  const std::filesystem::path file_;
  const std::string eventId_;
  std::shared_ptr<platform::UrlSession> session_;
  std::shared_ptr<platform::UrlDataTask> task_;
  std::shared_ptr<EventSubmission> self_;
  std::string receipt_;
  int status_ = 0;
  bool redirected_ = false;
  bool tooLarge_ = false;
};

}  // namespace vexa
