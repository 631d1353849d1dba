#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "config/install_configuration.h"
#include "platform/file_handle.h"
#include "platform/repeating_timer.h"
#include "platform/url_session.h"

namespace vexa {

// How one start() ended: the package file, or the error that stopped the download.
struct DownloadResult {
  std::filesystem::path package;  // the package file on success; empty on failure
  std::exception_ptr error;       // an InstallerFailure or a file error; empty on success

  [[nodiscard]] bool succeeded() const { return error == nullptr; }
};

// Downloads the configured package into the cache folder with pause and resume.
//
// The bytes go to "<sha256>.partial" in `cache`; its length is where the next attempt resumes
// (one GET with a Range header, no validators: the package digest in the name ties the file to
// the package, and the digest check after the download catches anything else). Only a partial
// file of exactly sizeBytes is moved to "<sha256>.dmg", the package file. Responses are accepted
// only when address, encoding, status, range and length match the package exactly; redirects are
// refused; bytes beyond the declared size are never written.
//
// Main thread only: start, pause and every callback run there (the session delivers on the main
// loop). Each start() made while no transfer runs ends in exactly one completion call, possibly
// before start() returns; a start() while a transfer runs does nothing at all. Failures are
// InstallerFailure values with a bilingual message, or file errors (std::system_error) unchanged;
// none of them removes a byte of the partial file. The cache folder itself is never created or
// removed here.
class PackageDownload final : public platform::UrlSessionDelegate {
 public:
  using SessionConfigurationFactory = std::function<platform::UrlSessionConfiguration()>;
  using ProgressCallback = std::function<void(double fraction)>;
  using CompletionCallback = std::function<void(DownloadResult result)>;

  PackageDownload(InstallConfiguration configuration, std::filesystem::path cache,
                  SessionConfigurationFactory sessionConfiguration =
                      &platform::UrlSessionConfiguration::ephemeral);
  // Cancels a running transfer without calling its completion.
  ~PackageDownload() override;
  PackageDownload(const PackageDownload&) = delete;
  PackageDownload& operator=(const PackageDownload&) = delete;

  [[nodiscard]] std::filesystem::path partialFile() const;
  [[nodiscard]] std::filesystem::path packageFile() const;

  // Validates the configuration, prepares the partial file and, unless that already ends the
  // download, starts the transfer from the partial file's length. Whatever is at either cache name
  // and is not a regular file (a link, a folder, a FIFO) is removed first, never followed.
  // `progress` hears received ÷ sizeBytes after every accepted chunk.
  void start(ProgressCallback progress, CompletionCallback completion);
  // Stops a running transfer; its completion then reports the pause. Nothing while idle.
  void pause();
  // Flushes and closes the partial file, moves it to the package file's name (never replacing
  // one) and ends the download with success. Throws the file error of the step that failed.
  void completeFile();
  // Removes the package file and the partial file; reports nothing. Call after the download ended.
  void discard();

  // Session callbacks.
  void willRedirect(platform::UrlSession& session, platform::UrlDataTask& task,
                    const platform::UrlResponse& redirect, const std::string& location) override;
  [[nodiscard]] platform::ResponseDisposition didReceiveResponse(
      platform::UrlSession& session, platform::UrlDataTask& task,
      const platform::UrlResponse& response) override;
  void didReceiveData(platform::UrlSession& session, platform::UrlDataTask& task,
                      std::span<const char> data) override;
  void didComplete(platform::UrlSession& session, platform::UrlDataTask& task,
                   std::exception_ptr error) override;

 private:
  // The partial-file steps of start(); false when they ended the download.
  bool preparePartialFile();
  void checkResponse(const platform::UrlResponse& response);
  [[nodiscard]] bool isCurrent(const platform::UrlSession& session) const;
  // The single place where a download ends.
  void finish(DownloadResult result);
  // Writes the bytes the partial file has gathered (the flush timer's tick).
  void flushGathered();

  const InstallConfiguration configuration_;
  const std::filesystem::path cache_;
  const SessionConfigurationFactory sessionConfiguration_;
  std::shared_ptr<platform::UrlDataTask> task_;
  std::shared_ptr<platform::UrlSession> session_;
  std::optional<platform::FileHandle> output_;
  // Bytes in the partial file: the resume offset, then the running total. Never above sizeBytes.
  std::int64_t received_ = 0;
  CompletionCallback completion_;
  ProgressCallback progress_;
  bool pausing_ = false;
  // The first reason a callback refused the transfer; reported by the completion.
  std::exception_ptr responseError_;
  // While a transfer runs, writes what the partial file has gathered every quarter second, so that
  // a slow or stalled transfer's bytes reach the file soon after they arrive. Declared last: it
  // goes first.
  std::unique_ptr<platform::RepeatingTimer> flushTimer_;
};

}  // namespace vexa
