#include "telemetry/event_submission.h"

#include <chrono>
#include <nlohmann/json.hpp>

#include "platform/atomic_file.h"
#include "platform/main_thread.h"
#include "telemetry/installer_telemetry.h"

namespace vexa {
namespace {

constexpr std::chrono::seconds kRequestTimeout{10};
constexpr std::string_view kEventsPath = "/v2/telemetry/events";

}  // namespace

EventSubmission::EventSubmission(std::shared_ptr<std::atomic<int>> outstanding,
                                 platform::Clock clock, std::weak_ptr<platform::SerialQueue> worker,
                                 std::shared_ptr<platform::ClaimedFile> claim,
                                 std::filesystem::path file, std::string eventId)
    : outstanding_(std::move(outstanding)),
      clock_(std::move(clock)),
      worker_(std::move(worker)),
      claim_(std::move(claim)),
      file_(std::move(file)),
      eventId_(std::move(eventId)) {}

void EventSubmission::start(const std::string& body, std::string_view host,
                            platform::UrlSessionConfiguration configuration) {
  platform::UrlRequest request;
  request.url = "https://" + std::string(host) + std::string(kEventsPath);
  request.method = "POST";
  request.headers = {{"Content-Type", "application/json"}};
  request.body = body;
  request.timeout = kRequestTimeout;
  session_ = platform::UrlSession::create(std::move(configuration), this);
  task_ = session_->dataTask(std::move(request));
  self_ = shared_from_this();
  task_->resume();
}

void EventSubmission::willRedirect(platform::UrlSession&, platform::UrlDataTask&,
                                   const platform::UrlResponse&, const std::string&) {
  redirected_ = true;
}

platform::ResponseDisposition EventSubmission::didReceiveResponse(
    platform::UrlSession&, platform::UrlDataTask&, const platform::UrlResponse& response) {
  status_ = response.statusCode();
  // A redirect is never followed, and nothing but 202 can be a receipt: skip the body.
  return redirected_ || status_ != 202 ? platform::ResponseDisposition::cancel
                                       : platform::ResponseDisposition::allow;
}

void EventSubmission::didReceiveData(platform::UrlSession&, platform::UrlDataTask& task,
                                     std::span<const char> data) {
  if (tooLarge_) return;
  if (receipt_.size() + data.size() > maximumReceiptBytes) {
    tooLarge_ = true;
    task.cancel();
    return;
  }
  receipt_.append(data.data(), data.size());
}

void EventSubmission::didComplete(platform::UrlSession& session, platform::UrlDataTask&,
                                  std::exception_ptr error) {
  const bool accepted =
      !error && !redirected_ && !tooLarge_ && isAcceptedReceipt(status_, receipt_, eventId_);
  session.finishTasksAndInvalidate();
  // The session is still inside this callback: let go of it (and of this) only afterwards, and
  // count the event as settled only once the session is gone.
  platform::postToMainThread([self = std::move(self_), accepted]() mutable {
    // The claim goes with the settling, so no other process takes the file up before it is
    // confirmed and gone (or left for a later start).
    auto settle = [outstanding = self->outstanding_, clock = self->clock_, claim = self->claim_,
                   file = self->file_, accepted] {
      if (accepted) confirm(file, clock);
      --*outstanding;
    };
    const std::weak_ptr<platform::SerialQueue> worker = self->worker_;
    self.reset();
    if (auto queue = worker.lock()) {
      queue->async(std::move(settle));
    } else {
      settle();  // the telemetry object is gone; the few file operations run here instead
    }
  });
}

void EventSubmission::confirm(const std::filesystem::path& file, const platform::Clock& clock) {
  try {
    const nlohmann::ordered_json marker = {{"schema_version", 1},
                                           {"occurred_at", platform::internetDateTime(clock())}};
    std::filesystem::path sent = file;
    sent.replace_extension(".sent");
    platform::writeFileAtomically(sent, marker.dump(), 0600);
  } catch (...) {
  }
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
}

}  // namespace vexa
