#include "download/package_download.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/configuration_samples.h"
#include "tests/support/https_test_server.h"
#include "tests/support/program_run.h"
#include "tests/support/qt_application.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using testing::ScriptedResponse;
namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1 << 20;

// One package of 2 MiB + 123 bytes served by the scripted server into a real cache folder. Staging,
// so that requests carry the download token.
class PackageDownloadTest : public ::testing::Test {
 protected:
  PackageDownloadTest() {
    vexa::testing::ensureQtApplication();
    content_.resize(2 * kMiB + 123);
    for (std::size_t i = 0; i < content_.size(); ++i)
      content_[i] = static_cast<char>((i * 7919 + i / 977) & 0xff);
    configuration_ = testing::withPackage(testing::validStagingConfiguration(),
                                          static_cast<std::int64_t>(content_.size()),
                                          testing::referenceSha256(content_));
  }

  [[nodiscard]] PackageDownload& download() {
    if (!download_) {
      download_ = std::make_unique<PackageDownload>(
          configuration_, cachePath_, [this] { return server_.sessionConfiguration(); });
    }
    return *download_;
  }
  void start() {
    download().start(
        [this](double fraction) {
          progress_.push_back(fraction);
          if (onProgress_) onProgress_();
        },
        [this](DownloadResult outcome) {
          ++completions_;
          result_ = std::move(outcome);
        });
  }
  // Runs one start to its end, checks that it ended exactly once and returns its message.
  std::string run() {
    completions_ = 0;
    start();
    EXPECT_TRUE(testing::runEventLoopUntil([&] { return completions_ > 0; }));
    testing::runEventLoopFor(std::chrono::milliseconds(20));
    EXPECT_EQ(completions_, 1);
    return result_.error ? testing::messageOf(result_.error) : "success";
  }

  ScriptedResponse rest(std::size_t from) {
    return {.status = 206,
            .headers = {{"Content-Range", "bytes " + std::to_string(from) + "-2097274/2097275"}},
            .body = content_.substr(from)};
  }
  [[nodiscard]] std::string partial() { return testing::readFile(download().partialFile()); }
  [[nodiscard]] std::string package() { return testing::readFile(download().packageFile()); }
  [[nodiscard]] std::size_t requests() const { return server_.requests().size(); }
  // Resumes from `from` with exactly the download headers, and expects the package to be complete
  // and the progress to rise to its end.
  void expectResumedFrom(std::size_t from) {
    server_.enqueue(rest(from));
    progress_.clear();
    EXPECT_EQ(run(), "success");
    EXPECT_EQ(package(), content_);
    EXPECT_TRUE(!progress_.empty() && std::is_sorted(progress_.begin(), progress_.end()) &&
                progress_.back() == 1.0);
    const auto request = server_.requests().back();
    EXPECT_EQ(request.method + " " + request.path, "GET " + configuration_.installerURL.path());
    EXPECT_EQ(request.header("Range"), "bytes=" + std::to_string(from) + "-");
    EXPECT_EQ(request.header("Accept-Encoding"), "identity");
    EXPECT_EQ(request.header("X-Vexa-Internal-Token"), configuration_.downloadToken);
    EXPECT_EQ(request.headers.size(), 4u);  // and Host
  }

  testing::ScopedEnvironment english_{{"LANGUAGE", "en"}, {"LC_ALL", std::nullopt}};
  testing::TemporaryDirectory cache_;
  fs::path cachePath_ = cache_.path();
  testing::HttpsTestServer server_;
  std::string content_;
  InstallConfiguration configuration_;
  std::vector<double> progress_;
  std::function<void()> onProgress_;
  std::unique_ptr<PackageDownload> download_;
  int completions_ = 0;
  DownloadResult result_;
};

TEST_F(PackageDownloadTest, PresentPackageOrCompletePartial_EndWithoutRequest) {
  testing::writeFile(download().packageFile(), "anything at all");
  EXPECT_EQ(run(), "success");
  download().discard();
  testing::writeFile(download().partialFile(), content_);
  EXPECT_EQ(run(), "success");
  EXPECT_EQ(package(), content_);
  EXPECT_EQ(requests(), 0u);
}

// Cache items that cannot be resumed are replaced, never followed: a partial file longer than the
// package, one whose bytes are not the package's (resumed, but answered with the whole package),
// and links at either name.
TEST_F(PackageDownloadTest, UnusableCacheItems_AreReplacedByTheWholePackage) {
  testing::TemporaryDirectory elsewhere;
  testing::writeFile(elsewhere / "target", "keep me");
  const std::pair<std::function<void()>, bool> cases[] = {
      {[&] { testing::writeFile(download().partialFile(), content_ + "tail"); }, false},
      {[&] { testing::writeFile(download().partialFile(), std::string(kMiB, '#')); }, true},
      {[&] { fs::create_symlink(elsewhere / "target", download().partialFile()); }, false},
      {[&] { fs::create_symlink(elsewhere / "target", download().packageFile()); }, false},
  };
  for (const auto& [plant, resumes] : cases) {
    download().discard();
    plant();
    server_.enqueue(ScriptedResponse::withStatus(200, content_));
    EXPECT_EQ(run(), "success");
    EXPECT_EQ(package(), content_);
    EXPECT_EQ(server_.requests().back().header("Range").has_value(), resumes);
  }
  EXPECT_EQ(testing::readFile(elsewhere / "target"), "keep me");
}

TEST_F(PackageDownloadTest, LinkedCache_IsRefusedBeforeAnyRequest) {
  testing::TemporaryDirectory elsewhere;
  fs::create_symlink(elsewhere.path(), cachePath_ = cache_ / "linked-cache");
  EXPECT_EQ(run(), "The download cache path is invalid.");
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));
  EXPECT_EQ(requests(), 0u);
}

// Answers to a resume 100 bytes before the end: refused ones keep the partial file as it was and
// are neither followed nor retried; an accepted one completes the package.
TEST_F(PackageDownloadTest, Response_IsAcceptedOnlyWhenItMatchesThePackageExactly) {
  const std::size_t at = content_.size() - 100;
  const auto range = rest(at).headers;
  const std::pair<ScriptedResponse, std::string> cases[] = {
      {{.status = 206, .headers = {{"Content-Range", "bytes 2097176-2097274/2097275"}}},
       "The download service is unavailable or resume data does not match. Retry."},
      // A repeated field is judged by all its values, never by its first alone.
      {{.status = 206,
        .headers = {range[0], {"Content-Encoding", "identity"}, {"Content-Encoding", "gzip"}}},
       "The download service returned an invalid response."},
      // A whole package of the wrong length is refused before it costs the saved bytes.
      {{.status = 200, .headers = {{"Content-Length", "2097276"}}},
       "The installer size does not match. Download it again."},
      {{.status = 302, .headers = {{"Location", "https://downloads.vexa.example/other.dmg"}}},
       "The download address changed. Download the installer again."},
      // Too many bytes stop at the chunk that passes the size, and nothing of it is written.
      {{.status = 206,
        .headers = range,
        .body = rest(at).body + std::string(5000, 'X'),
        .declareLength = false},
       "The download exceeded its declared size and was stopped."},
      // No length: the end of the connection ends the body.
      {{.status = 206, .headers = range, .declareLength = false}, "success"},
  };
  for (auto [response, outcome] : cases) {
    download().discard();
    testing::writeFile(download().partialFile(), content_.substr(0, at));
    const std::size_t before = requests();
    if (response.body.empty()) response.body = content_.substr(at);
    server_.enqueue(response);
    EXPECT_EQ(run(), outcome);
    EXPECT_EQ(requests(), before + 1);
    const bool accepted = outcome == "success";
    EXPECT_EQ(accepted ? package() : partial(), content_.substr(0, accepted ? at + 100 : at));
  }
}

// Given a body that ends cleanly but short: no length was declared, so only the count tells.
TEST_F(PackageDownloadTest, EarlyEnd_IsInterruptedAndTheNextStartResumesThere) {
  server_.enqueue({.body = content_,
                   .declareLength = false,
                   .ending = ScriptedResponse::Ending::close,
                   .sendBytes = 700000});
  EXPECT_EQ(run(), "Network interrupted. Download progress was saved; retry.");
  EXPECT_EQ(partial(), content_.substr(0, 700000));
  EXPECT_EQ(testing::permissionBits(download().partialFile()), 0600u);
  expectResumedFrom(700000);
}

TEST_F(PackageDownloadTest, Pause_OutranksEverythingAndWritesNothingAfterIt) {
  // given a server that would go on to send more than the package holds
  server_.enqueue({.body = content_ + std::string(kMiB, 'X'),
                   .declareLength = false,
                   .dripBytes = 64 * 1024,
                   .dripDelay = std::chrono::milliseconds(2)});
  std::size_t lengthAtPause = 0;
  onProgress_ = [&] {
    if (lengthAtPause > 0) return;
    // The bytes accepted so far, as the progress reports them.
    lengthAtPause = std::llround(progress_.back() * static_cast<double>(content_.size()));
    download().pause();
  };
  EXPECT_EQ(run(), "Download paused. Select Continue Download.");
  EXPECT_EQ(partial().size(), lengthAtPause);
  expectResumedFrom(lengthAtPause);
}

// A second start while a transfer runs changes nothing; destroying the download then cancels the
// transfer without a call and keeps the bytes, which reach the file soon after they arrive, though
// the transfer stalls.
TEST_F(PackageDownloadTest, SecondStartOrDestructionWhileRunning_CallsNothing) {
  server_.enqueue({.body = content_, .ending = ScriptedResponse::Ending::stall, .sendBytes = 3000});
  start();
  const fs::path partialFile = download().partialFile();
  ASSERT_TRUE(testing::runEventLoopUntil([&] { return fs::file_size(partialFile) == 3000; }));
  start();
  testing::runEventLoopFor(std::chrono::milliseconds(30));
  download_.reset();
  testing::runEventLoopFor(std::chrono::milliseconds(30));
  EXPECT_EQ(completions_, 0);
  EXPECT_EQ(requests(), 1u);
  EXPECT_EQ(testing::readFile(partialFile), content_.substr(0, 3000));
}

// Behind a proxy named by https_proxy (where the platform follows the system's setting): the
// package comes through its tunnel, a refusal is the ordinary network failure that keeps the
// partial file, and a host listed in no_proxy is reached directly (here: not at all, for want of
// the test's address overrides, which themselves always bypass proxies).
TEST_F(PackageDownloadTest, Proxy_CarriesTheDownloadAndItsRefusalKeepsThePartialFile) {
  const auto startProxy = [&](const char* mode) {
    return std::make_unique<testing::BackgroundProgram>(
        "/usr/bin/python3",
        std::vector<std::string>{"python3", VEXA_SOURCE_DIR "/tests/support/connect_proxy.py",
                                 std::to_string(server_.port()), mode});
  };
  const auto proxy = startProxy("pass"), refusing = startProxy("refuse");
  const std::string passing = "http://127.0.0.1:" + proxy->readLine().value(),
                    refusal = "http://127.0.0.1:" + refusing->readLine().value();
  // (libcurl prefers https_proxy to its other spellings.)
  testing::ScopedEnvironment environment{
      {"https_proxy", passing}, {"no_proxy", std::nullopt}, {"NO_PROXY", std::nullopt}};
  download_ = std::make_unique<PackageDownload>(configuration_, cachePath_, [this] {
    platform::UrlSessionConfiguration direct = server_.sessionConfiguration();
    direct.connectTo.clear();
    return direct;
  });
  const std::string interrupted = "Network interrupted. Download progress was saved; retry.",
                    target = configuration_.installerURL.host().value() + ":443";
  server_.enqueue({.body = content_, .ending = ScriptedResponse::Ending::close, .sendBytes = 5000});
  EXPECT_EQ(run(), interrupted);
  environment.set("https_proxy", refusal);
  EXPECT_EQ(run(), interrupted);
  EXPECT_EQ(partial(), content_.substr(0, 5000));
  EXPECT_EQ(refusing->readLine(), target);
  environment.set("https_proxy", passing);
  expectResumedFrom(5000);
  EXPECT_EQ(proxy->readLine().value() + " " + proxy->readLine().value(), target + " " + target);

  download().discard();
  for (const char* bypass : {".vexa.example", "*"}) {
    environment.set("no_proxy", bypass);
    EXPECT_EQ(run(), interrupted);
  }
  EXPECT_EQ(proxy->readLine(500), std::nullopt);
  EXPECT_EQ(requests(), 2u);
}

}  // namespace
}  // namespace vexa
