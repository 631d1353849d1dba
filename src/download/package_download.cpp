#include "download/package_download.h"

#include <charconv>
#include <limits>
#include <string>
#include <system_error>

#include "config/installer_copy.h"
#include "config/installer_failure.h"
#include "platform/path_safety.h"

namespace vexa {
namespace {

constexpr auto kIdleTimeout = std::chrono::seconds(30);
constexpr auto kResourceTimeout = std::chrono::seconds(3600);
constexpr auto kRequestTimeout = std::chrono::seconds(60);

std::exception_ptr failure(std::string_view chinese, std::string_view english) {
  return std::make_exception_ptr(InstallerFailure(InstallerCopy::text(chinese, english)));
}

std::exception_ptr cannotCreateCache() {
  return failure("无法创建下载缓存，请检查磁盘空间。", "Could not create the download cache. Check disk space.");
}
std::exception_ptr invalidCachePath() { return failure("下载缓存路径无效。", "The download cache path is invalid."); }
std::exception_ptr pausedFailure() {
  return failure("下载已暂停，点击继续下载。", "Download paused. Select Continue Download.");
}
std::exception_ptr interruptedFailure() {
  return failure("网络连接中断，点击重试。已保留下载进度。", "Network interrupted. Download progress was saved; retry.");
}
std::exception_ptr redirectFailure() {
  return failure("下载地址发生变化，请重新下载安装器。", "The download address changed. Download the installer again.");
}
std::exception_ptr invalidResponse() {
  return failure("下载服务返回无效响应。", "The download service returned an invalid response.");
}
std::exception_ptr unavailableOrMismatch() {
  return failure("下载服务暂不可用或恢复位置不符，请重试。",
                 "The download service is unavailable or resume data does not match. Retry.");
}
std::exception_ptr sizeMismatch() {
  return failure("安装包大小不符，请重新下载。", "The installer size does not match. Download it again.");
}
std::exception_ptr exceededFailure() {
  return failure("下载大小超过安装包声明，已停止。", "The download exceeded its declared size and was stopped.");
}

// A Content-Length value: an optional sign, then decimal digits only, within 64 bits.
std::optional<std::int64_t> parseLength(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  const std::size_t firstDigit = !text.empty() && text.front() == '-' ? 1 : 0;
  if (text.size() <= firstDigit) return std::nullopt;
  for (std::size_t i = firstDigit; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

DownloadResult failed(std::exception_ptr error) { return DownloadResult{{}, std::move(error)}; }

}  // namespace

PackageDownload::PackageDownload(InstallConfiguration configuration, std::filesystem::path cache,
                                 SessionConfigurationFactory sessionConfiguration)
    : configuration_(std::move(configuration)),
      cache_(std::move(cache)),
      sessionConfiguration_(std::move(sessionConfiguration)) {}

PackageDownload::~PackageDownload() {
  // The session must not call into this object once it is gone; its cancelled task's completion
  // arrives inside invalidateAndCancel and finds no current session.
  if (auto session = std::exchange(session_, nullptr)) session->invalidateAndCancel();
}

std::filesystem::path PackageDownload::partialFile() const { return cache_ / (configuration_.sha256 + ".partial"); }

std::filesystem::path PackageDownload::packageFile() const { return cache_ / (configuration_.sha256 + ".dmg"); }

void PackageDownload::start(ProgressCallback progress, CompletionCallback completion) {
  if (task_) return;
  progress_ = std::move(progress);
  completion_ = std::move(completion);
  pausing_ = false;
  responseError_ = nullptr;

  try {
    configuration_.validate();
    if (!preparePartialFile()) return;
  } catch (...) {
    finish(failed(std::current_exception()));
    return;
  }

  try {
    platform::UrlSessionConfiguration sessionConfiguration = sessionConfiguration_();
    sessionConfiguration.idleTimeout = kIdleTimeout;
    sessionConfiguration.resourceTimeout = kResourceTimeout;
    session_ = platform::UrlSession::create(std::move(sessionConfiguration), this);

    platform::UrlRequest request{.url = configuration_.installerURL.text(), .method = "GET"};
    request.headers.emplace_back("Accept-Encoding", "identity");
    if (received_ > 0) request.headers.emplace_back("Range", "bytes=" + std::to_string(received_) + "-");
    if (!configuration_.downloadToken.empty()) {
      request.headers.emplace_back("X-Vexa-Internal-Token", configuration_.downloadToken);
    }
    request.timeout = kRequestTimeout;
    task_ = session_->dataTask(std::move(request));
  } catch (...) {
    finish(failed(std::current_exception()));
    return;
  }
  task_->resume();
}

bool PackageDownload::preparePartialFile() {
  std::error_code ignored;
  if (std::filesystem::exists(packageFile(), ignored)) {
    finish(DownloadResult{packageFile(), nullptr});
    return false;
  }
  const std::filesystem::path partial = partialFile();
  // A symbolic link counts as present here, so nothing is ever created through one (the check
  // below refuses it). For a new file the path is judged before it is created, so that a cache
  // folder reached through a link never receives a file either.
  if (!std::filesystem::exists(std::filesystem::symlink_status(partial, ignored))) {
    if (!platform::resolvesToItself(partial)) std::rethrow_exception(invalidCachePath());
    try {
      platform::createEmptyFile(partial, 0600);
    } catch (const std::system_error&) {
      std::rethrow_exception(cannotCreateCache());
    }
  }
  if (!platform::resolvesToItself(partial)) std::rethrow_exception(invalidCachePath());

  output_ = platform::FileHandle::openForWriting(partial);
  received_ = output_->seekToEnd();
  if (received_ > configuration_.sizeBytes) {
    output_->truncate(0);
    received_ = 0;
  }
  if (received_ == configuration_.sizeBytes) {
    completeFile();
    return false;
  }
  return true;
}

void PackageDownload::completeFile() {
  if (output_) {
    output_->synchronize();
    output_->close();
  }
  output_.reset();
  platform::moveItem(partialFile(), packageFile());
  finish(DownloadResult{packageFile(), nullptr});
}

void PackageDownload::discard() {
  std::error_code ignored;
  std::filesystem::remove(packageFile(), ignored);
  std::filesystem::remove(partialFile(), ignored);
}

void PackageDownload::pause() {
  if (!task_ || pausing_) return;
  pausing_ = true;
  task_->cancel();
}

void PackageDownload::finish(DownloadResult result) {
  if (output_) {
    try {
      output_->synchronize();
    } catch (...) {
    }
    try {
      output_->close();
    } catch (...) {
    }
  }
  output_.reset();
  CompletionCallback completion = std::exchange(completion_, nullptr);
  task_.reset();
  if (auto session = std::exchange(session_, nullptr)) session->finishTasksAndInvalidate();
  // Everything is cleared first, so the callback may start again at once.
  if (completion) completion(std::move(result));
}

bool PackageDownload::isCurrent(const platform::UrlSession& session) const {
  return session_ != nullptr && &session == session_.get();
}

void PackageDownload::willRedirect(platform::UrlSession& session, platform::UrlDataTask&, const platform::UrlResponse&,
                                   const std::string&) {
  // The session never follows a redirect; its response, which arrives next, is then cancelled.
  if (isCurrent(session) && !responseError_) responseError_ = redirectFailure();
}

platform::ResponseDisposition PackageDownload::didReceiveResponse(platform::UrlSession& session,
                                                                  platform::UrlDataTask&,
                                                                  const platform::UrlResponse& response) {
  if (!isCurrent(session) || responseError_) return platform::ResponseDisposition::cancel;
  try {
    checkResponse(response);
  } catch (...) {
    responseError_ = std::current_exception();
    return platform::ResponseDisposition::cancel;
  }
  return platform::ResponseDisposition::allow;
}

void PackageDownload::checkResponse(const platform::UrlResponse& response) {
  const auto contentEncoding = response.header("Content-Encoding");
  if (response.statusCode() < 100 || response.url() != configuration_.installerURL.text() ||
      (contentEncoding && *contentEncoding != "identity")) {
    std::rethrow_exception(invalidResponse());
  }

  const std::int64_t size = configuration_.sizeBytes;
  if (response.statusCode() == 200) {
    // The whole package from its first byte, whatever was asked for.
    if (output_) output_->truncate(0);
    received_ = 0;
  } else if (response.statusCode() == 206) {
    const std::string expected =
        "bytes " + std::to_string(received_) + "-" + std::to_string(size - 1) + "/" + std::to_string(size);
    if (response.header("Content-Range") != expected) std::rethrow_exception(unavailableOrMismatch());
  } else {
    std::rethrow_exception(unavailableOrMismatch());
  }

  if (const auto contentLength = response.header("Content-Length")) {
    const auto length = parseLength(*contentLength);
    if (!length || *length != size - received_) std::rethrow_exception(sizeMismatch());
  }
}

void PackageDownload::didReceiveData(platform::UrlSession& session, platform::UrlDataTask& task,
                                     std::span<const char> data) {
  if (!isCurrent(session) || pausing_ || responseError_) return;
  const auto length = static_cast<std::int64_t>(data.size());
  if (received_ + length > configuration_.sizeBytes) {
    responseError_ = exceededFailure();
    task.cancel();
    return;
  }
  try {
    if (!output_) throw std::system_error(EBADF, std::generic_category(), partialFile().string());
    output_->write(data);
  } catch (...) {
    responseError_ = std::current_exception();
    task.cancel();
    return;
  }
  received_ += length;
  if (progress_) progress_(static_cast<double>(received_) / static_cast<double>(configuration_.sizeBytes));
}

void PackageDownload::didComplete(platform::UrlSession& session, platform::UrlDataTask&, std::exception_ptr error) {
  if (!isCurrent(session) || !completion_) return;
  if (pausing_) {
    finish(failed(pausedFailure()));
  } else if (responseError_) {
    finish(failed(responseError_));
  } else if (!error && received_ == configuration_.sizeBytes) {
    try {
      completeFile();
    } catch (...) {
      finish(failed(std::current_exception()));
    }
  } else {
    finish(failed(interruptedFailure()));
  }
}

}  // namespace vexa
