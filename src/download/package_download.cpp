#include "download/package_download.h"

#include <exception>
#include <string>
#include <system_error>

#include "config/installer_copy.h"
#include "config/installer_failure.h"
#include "download/package_request.h"
#include "download/response_check.h"
#include "platform/path_safety.h"

namespace vexa {
namespace {

// The partial file gathers bytes into large blocks (see FileHandle); this bounds how long bytes
// that arrived stay only in memory.
constexpr auto kFlushInterval = std::chrono::milliseconds(250);

InstallerFailure failure(std::string_view chinese, std::string_view english) {
  return InstallerFailure(InstallerCopy::text(chinese, english));
}

InstallerFailure cannotCreateCache() {
  return failure("无法创建下载缓存，请检查磁盘空间。",
                 "Could not create the download cache. Check disk space.");
}
InstallerFailure invalidCachePath() {
  return failure("下载缓存路径无效。", "The download cache path is invalid.");
}
InstallerFailure pausedFailure() {
  return failure("下载已暂停，点击继续下载。", "Download paused. Select Continue Download.");
}
InstallerFailure interruptedFailure() {
  return failure("网络连接中断，点击重试。已保留下载进度。",
                 "Network interrupted. Download progress was saved; retry.");
}
InstallerFailure redirectFailure() {
  return failure("下载地址发生变化，请重新下载安装器。",
                 "The download address changed. Download the installer again.");
}
InstallerFailure exceededFailure() {
  return failure("下载大小超过安装包声明，已停止。",
                 "The download exceeded its declared size and was stopped.");
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

std::filesystem::path PackageDownload::partialFile() const {
  return cache_ / (configuration_.sha256 + ".partial");
}

std::filesystem::path PackageDownload::packageFile() const {
  return cache_ / (configuration_.sha256 + ".dmg");
}

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
    session_ =
        platform::UrlSession::create(packageSessionConfiguration(sessionConfiguration_()), this);
    task_ = session_->dataTask(packageRequest(configuration_, received_));
    flushTimer_ = platform::startRepeatingTimer(kFlushInterval, [this] { flushGathered(); });
  } catch (...) {
    finish(failed(std::current_exception()));
    return;
  }
  task_->resume();
}

bool PackageDownload::preparePartialFile() {
  namespace fs = std::filesystem;
  // Only a regular file can be the package or the partial file. Anything else at either name (a
  // dangling link, a link to elsewhere, a folder, a FIFO) would fail every later start the same
  // way, and nothing else ever clears it, so it is removed here (never followed) and preparation
  // goes on as if it had not been there. A cache folder reached through a link is left alone: the
  // path check below refuses it.
  if (platform::resolvesToItself(cache_)) {
    for (const fs::path& name : {packageFile(), partialFile()}) {
      const fs::file_status item = fs::symlink_status(name);
      if (fs::exists(item) && !fs::is_regular_file(item)) fs::remove_all(name);
    }
  }
  std::error_code ignored;
  if (fs::exists(packageFile(), ignored)) {
    finish(DownloadResult{packageFile(), nullptr});
    return false;
  }
  const fs::path partial = partialFile();
  // A symbolic link counts as present here, so nothing is ever created through one (the check
  // below refuses it). For a new file the path is judged before it is created, so that a cache
  // folder reached through a link never receives a file either.
  if (!fs::exists(fs::symlink_status(partial, ignored))) {
    if (!platform::resolvesToItself(partial)) throw invalidCachePath();
    try {
      platform::createEmptyFile(partial, 0600);
    } catch (const std::system_error&) {
      throw cannotCreateCache();
    }
  }
  if (!platform::resolvesToItself(partial)) throw invalidCachePath();

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

void PackageDownload::flushGathered() {
  if (!output_ || pausing_ || responseError_) return;
  try {
    output_->flush();
  } catch (...) {
    // As a failed write: the transfer stops with the file's error.
    responseError_ = std::current_exception();
    if (task_) task_->cancel();
  }
}

void PackageDownload::finish(DownloadResult result) {
  flushTimer_.reset();
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

void PackageDownload::willRedirect(platform::UrlSession& session, platform::UrlDataTask&,
                                   const platform::UrlResponse&, const std::string&) {
  // The session never follows a redirect; its response, which arrives next, is then cancelled.
  if (isCurrent(session) && !responseError_)
    responseError_ = std::make_exception_ptr(redirectFailure());
}

platform::ResponseDisposition PackageDownload::didReceiveResponse(
    platform::UrlSession& session, platform::UrlDataTask&, const platform::UrlResponse& response) {
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
  if (checkPackageResponse(response, configuration_.installerURL.text(), configuration_.sizeBytes,
                           received_) == ResponseBody::wholePackage) {
    // Only an answer that will be written replaces what the partial file holds: a refused one
    // leaves the bytes of earlier attempts in place.
    if (output_) output_->truncate(0);
    received_ = 0;
  }
}

void PackageDownload::didReceiveData(platform::UrlSession& session, platform::UrlDataTask& task,
                                     std::span<const char> data) {
  if (!isCurrent(session) || pausing_ || responseError_) return;
  const auto length = static_cast<std::int64_t>(data.size());
  if (received_ + length > configuration_.sizeBytes) {
    responseError_ = std::make_exception_ptr(exceededFailure());
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
  if (progress_)
    progress_(static_cast<double>(received_) / static_cast<double>(configuration_.sizeBytes));
}

void PackageDownload::didComplete(platform::UrlSession& session, platform::UrlDataTask&,
                                  std::exception_ptr error) {
  if (!isCurrent(session) || !completion_) return;
  if (pausing_) {
    finish(failed(std::make_exception_ptr(pausedFailure())));
  } else if (responseError_) {
    finish(failed(responseError_));
  } else if (!error && received_ == configuration_.sizeBytes) {
    try {
      completeFile();
    } catch (...) {
      finish(failed(std::current_exception()));
    }
  } else {
    finish(failed(std::make_exception_ptr(interruptedFailure())));
  }
}

}  // namespace vexa
