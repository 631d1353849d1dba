#include "release/url_check.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "config/installer_failure.h"
#include "config/package_verification.h"
#include "download/package_request.h"
#include "download/response_check.h"
#include "platform/event_loop.h"
#include "platform/sha256.h"
#include "release/release_refusal.h"

namespace vexa {
namespace {

// How much of each resumed range is compared: enough to prove the offset, without downloading
// most of the package three more times.
constexpr std::int64_t kSampleBytes = 64 * 1024;

// One request through a session of its own, reported through the three callbacks; the loop runs
// until it has ended. Main thread only.
class Probe final : public platform::UrlSessionDelegate {
 public:
  // Returns false to refuse the response (the transfer is then cancelled).
  std::function<bool(const platform::UrlResponse&)> onResponse;
  // Returns false once it has seen enough (the transfer is then cancelled, which is no error).
  std::function<bool(std::span<const char>)> onData;

  std::optional<std::string> redirect;
  std::exception_ptr error;

  void run(platform::UrlSessionConfiguration configuration, platform::UrlRequest request) {
    platform::ensureEventLoop();
    session_ = platform::UrlSession::create(std::move(configuration), this);
    session_->dataTask(std::move(request))->resume();
    (void)platform::runEventLoopUntil([this] { return done_; }, std::chrono::hours(2));
    std::exchange(session_, nullptr)->invalidateAndCancel();
  }
  ~Probe() override {
    if (session_) session_->invalidateAndCancel();
  }

  void willRedirect(platform::UrlSession&, platform::UrlDataTask&, const platform::UrlResponse&,
                    const std::string& location) override {
    redirect = location;
  }
  platform::ResponseDisposition didReceiveResponse(platform::UrlSession&, platform::UrlDataTask&,
                                                   const platform::UrlResponse& response) override {
    const bool allow = !redirect && onResponse(response);
    if (!allow) stoppedByUs_ = true;
    return allow ? platform::ResponseDisposition::allow : platform::ResponseDisposition::cancel;
  }
  void didReceiveData(platform::UrlSession&, platform::UrlDataTask& task,
                      std::span<const char> data) override {
    if (stoppedByUs_) return;
    if (!onData(data)) {
      stoppedByUs_ = true;
      task.cancel();
    }
  }
  void didComplete(platform::UrlSession&, platform::UrlDataTask&,
                   std::exception_ptr failure) override {
    if (!stoppedByUs_) error = failure;
    done_ = true;
  }

 private:
  std::shared_ptr<platform::UrlSession> session_;
  bool done_ = false;
  bool stoppedByUs_ = false;
};

std::string messageOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& exception) {
    return exception.what();
  }
}

std::string headerText(const platform::UrlResponse& response, std::string_view name) {
  const auto value = response.header(name);
  return std::string(name) + " " + (value ? "\"" + *value + "\"" : "absent");
}

// The head as the check saw it, for a line that says what came instead of what was expected.
std::string describe(const platform::UrlResponse& response) {
  return "status " + std::to_string(response.statusCode()) + ", " +
         headerText(response, "Content-Range") + ", " + headerText(response, "Content-Length");
}

}  // namespace

void checkUrl(const InstallConfiguration& configuration,
              const std::optional<std::filesystem::path>& package, ReleaseReport& report,
              const std::function<platform::UrlSessionConfiguration()>& sessionConfiguration) {
  if (const auto broken = configuration.firstBrokenRule()) {
    throw ReleaseRefusal("configuration: " + *broken);
  }
  configuration.validate();
  const std::int64_t size = configuration.sizeBytes;
  const std::string& url = configuration.installerURL.text();

  if (package) {
    try {
      verifyDownload(configuration, *package);
      report.pass("package", package->string() + " is the configured package");
    } catch (const InstallerFailure& failure) {
      report.fail("package", package->string() + " is not the configured package (sizeBytes " +
                                 std::to_string(size) + ", sha256 " + configuration.sha256 +
                                 "): " + failure.what());
    }
  }

  // Resume offsets: the second byte, the middle and the last byte.
  std::set<std::int64_t> offsets;
  for (std::int64_t offset : {std::int64_t{1}, size / 2, size - 1}) {
    if (offset > 0 && offset < size) offsets.insert(offset);
  }
  // The full body's bytes at each offset, to compare the resumed ranges with.
  std::map<std::int64_t, std::string> samples;

  {
    Probe probe;
    std::optional<std::string> refused;
    std::int64_t received = 0;
    platform::Sha256 digest;
    const auto progress = report.progress("full request", size);
    probe.onResponse = [&](const platform::UrlResponse& response) {
      try {
        (void)checkPackageResponse(response, url, size, 0);
        return true;
      } catch (const InstallerFailure& failure) {
        refused = "expected status 200 (or 206 from byte 0) with Content-Length " +
                  std::to_string(size) + " from " + url + "; got " + describe(response) +
                  " (the installer would say: " + failure.what() + ")";
        return false;
      }
    };
    probe.onData = [&](std::span<const char> data) {
      const auto count = static_cast<std::int64_t>(data.size());
      if (received + count > size) {
        refused = "the server sent more than sizeBytes (" + std::to_string(size) + ") bytes";
        return false;
      }
      digest.update(data);
      for (std::int64_t offset : offsets) {
        const std::int64_t from = std::max(offset, received);
        const std::int64_t to = std::min({offset + kSampleBytes, received + count, size});
        if (from < to) samples[offset].append(data.data() + (from - received), to - from);
      }
      received += count;
      progress(received);
      return true;
    };
    probe.run(packageSessionConfiguration(sessionConfiguration()),
              packageRequest(configuration, 0));
    if (probe.redirect) {
      refused = "the server redirects to " + *probe.redirect +
                "; the installer never follows a redirect and expects the package at " + url;
    } else if (!refused && probe.error) {
      refused = "the transfer failed: " + messageOf(probe.error);
    } else if (!refused && received != size) {
      refused = "the body ended after " + std::to_string(received) + " bytes; expected sizeBytes " +
                std::to_string(size);
    }
    const std::string hash = refused ? "" : digest.finishHex();
    if (!refused && hash != configuration.sha256) {
      refused = "the server serves other bytes: SHA-256 " + hash + ", expected sha256 " +
                configuration.sha256;
    }
    if (refused) {
      report.fail("full request", *refused);
      samples.clear();
    } else {
      report.pass("full request", std::to_string(size) + " bytes, SHA-256 matches");
    }
  }

  for (std::int64_t offset : offsets) {
    const std::string name = "resume from byte " + std::to_string(offset);
    Probe probe;
    std::optional<std::string> refused;
    std::string body;
    const std::int64_t wanted = std::min(kSampleBytes, size - offset);
    probe.onResponse = [&](const platform::UrlResponse& response) {
      const std::string expected = "status 206 with Content-Range \"bytes " +
                                   std::to_string(offset) + "-" + std::to_string(size - 1) + "/" +
                                   std::to_string(size) + "\"";
      if (response.statusCode() == 200) {
        refused =
            "the server ignores ranges (status 200): the installer could not resume; "
            "expected " +
            expected;
        return false;
      }
      try {
        (void)checkPackageResponse(response, url, size, offset);
        return true;
      } catch (const InstallerFailure& failure) {
        refused = "expected " + expected + " and Content-Length " + std::to_string(size - offset) +
                  "; got " + describe(response) + " (the installer would say: " + failure.what() +
                  ")";
        return false;
      }
    };
    probe.onData = [&](std::span<const char> data) {
      body.append(data.data(), std::min<std::size_t>(
                                   data.size(), static_cast<std::size_t>(wanted) - body.size()));
      return static_cast<std::int64_t>(body.size()) < wanted;
    };
    probe.run(packageSessionConfiguration(sessionConfiguration()),
              packageRequest(configuration, offset));
    if (probe.redirect) {
      refused =
          "the server redirects to " + *probe.redirect + "; the installer never follows a redirect";
    } else if (!refused && probe.error) {
      refused = "the transfer failed: " + messageOf(probe.error);
    } else if (!refused && static_cast<std::int64_t>(body.size()) < wanted) {
      refused = "the range ended after " + std::to_string(body.size()) + " bytes; expected " +
                std::to_string(size - offset);
    } else if (!refused && samples.contains(offset) && samples[offset] != body) {
      refused = "the server serves other bytes from this offset than in the full request";
    }
    if (refused) {
      report.fail(name, *refused);
    } else {
      report.pass(name, samples.contains(offset)
                            ? "206, exact Content-Range and length, same bytes"
                            : "206, exact Content-Range and length (bytes not compared)");
    }
  }
}

}  // namespace vexa
