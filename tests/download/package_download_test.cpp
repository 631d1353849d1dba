#include "download/package_download.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <set>

#include "tests/support/configuration_samples.h"
#include "tests/support/https_test_server.h"
#include "tests/support/program_run.h"
#include "tests/support/qt_application.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using testing::HeaderList;
using testing::HttpsTestServer;
using testing::ScriptedResponse;
namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1 << 20;
const std::string kPaused = "Download paused. Select Continue Download.";
const std::string kInterrupted = "Network interrupted. Download progress was saved; retry.";
const std::string kInvalid = "The download service returned an invalid response.";
const std::string kUnavailable =
    "The download service is unavailable or resume data does not match. Retry.";
const std::string kSize = "The installer size does not match. Download it again.";

std::string messageOf(const DownloadResult& result) {
  if (!result.error) return "success";
  try {
    std::rethrow_exception(result.error);
  } catch (const std::exception& error) {
    return error.what();
  }
}

// One package of 2 MiB + 123 bytes served by the scripted server into a real cache folder.
class PackageDownloadTest : public ::testing::Test {
 protected:
  PackageDownloadTest() {
    vexa::testing::ensureQtApplication();
    content_.resize(2 * kMiB + 123);
    for (std::size_t i = 0; i < content_.size(); ++i)
      content_[i] = static_cast<char>((i * 7919 + i / 977) & 0xff);
    configuration_ = testing::withPackage(testing::validProductionConfiguration(),
                                          static_cast<std::int64_t>(content_.size()),
                                          testing::referenceSha256(content_));
  }

  [[nodiscard]] std::unique_ptr<PackageDownload> makeDownload(const fs::path& cache) {
    return std::make_unique<PackageDownload>(configuration_, cache,
                                             [this] { return server_.sessionConfiguration(); });
  }
  [[nodiscard]] PackageDownload& download() {
    if (!download_) download_ = makeDownload(cache_.path());
    return *download_;
  }
  // Starts; on return the download has ended (or, with `wait` false, has merely started).
  void start(PackageDownload& target, bool wait = true) {
    completions_ = 0;
    target.start([this](double fraction) { progress_.push_back(fraction); },
                 [this](DownloadResult outcome) {
                   ++completions_;
                   result_ = std::move(outcome);
                 });
    if (wait) {
      ASSERT_TRUE(testing::runEventLoopUntil([&] { return completions_ > 0; }));
    }
  }
  // Runs one start to its end and checks that it ended exactly once.
  std::string run(PackageDownload& target) {
    start(target);
    testing::runEventLoopFor(std::chrono::milliseconds(20));
    EXPECT_EQ(completions_, 1);
    return messageOf(result_);
  }
  std::string run() { return run(download()); }
  // Starts against a response that stalls after `bytes`; returns once they are in the file.
  void startStalled(std::size_t bytes) {
    ScriptedResponse stalled = whole();
    stalled.ending = ScriptedResponse::Ending::stall;
    stalled.sendBytes = bytes;
    server_.enqueue(stalled);
    start(download(), false);
    ASSERT_TRUE(testing::runEventLoopUntil(
        [&] { return fs::file_size(download().partialFile()) == bytes; }));
  }

  ScriptedResponse whole() { return ScriptedResponse::withStatus(200, content_); }
  ScriptedResponse rest(std::size_t from) {
    ScriptedResponse response = ScriptedResponse::withStatus(206, content_.substr(from));
    response.headers = {{"Content-Range", "bytes " + std::to_string(from) + "-2097274/2097275"}};
    return response;
  }
  void writePartial(const std::string& bytes) {
    testing::writeFile(download().partialFile(), bytes);
  }
  [[nodiscard]] std::string partial() { return testing::readFile(download().partialFile()); }
  [[nodiscard]] std::string package() { return testing::readFile(download().packageFile()); }
  [[nodiscard]] std::size_t requests() const { return server_.requests().size(); }
  // Resumes from `from` and expects the package to be complete.
  void expectResumedFrom(std::size_t from) {
    server_.enqueue(rest(from));
    EXPECT_EQ(run(), "success");
    EXPECT_EQ(server_.requests().back().header("Range"), "bytes=" + std::to_string(from) + "-");
    EXPECT_EQ(package(), content_);
  }

  testing::ScopedEnvironment english_{{"LANGUAGE", "en"}, {"LC_ALL", std::nullopt}};
  testing::TemporaryDirectory cache_;
  HttpsTestServer server_;
  std::string content_;
  InstallConfiguration configuration_;
  std::vector<double> progress_;
  std::unique_ptr<PackageDownload> download_;
  int completions_ = 0;
  DownloadResult result_;
};

TEST_F(PackageDownloadTest, PresentPackageOrCompletePartial_EndWithoutRequest) {
  testing::writeFile(download().packageFile(), "anything at all");
  start(download(), false);
  EXPECT_EQ(completions_, 1);  // before start() returned
  EXPECT_EQ(result_.package, download().packageFile());

  download().discard();
  writePartial(content_);
  EXPECT_EQ(run(), "success");
  EXPECT_EQ(package(), content_);
  EXPECT_FALSE(fs::exists(download().partialFile()));
  EXPECT_EQ(requests(), 0u);
}

TEST_F(PackageDownloadTest, OverlongPartialOrFullAnswerToResume_RestartsFromTheFirstByte) {
  // given a partial file longer than the package, then one whose bytes are not the package's and
  // that the server answers with the whole package (200) instead of the range
  for (const auto& [before, expectRange] :
       {std::pair{content_ + "tail", false}, {std::string(kMiB, '#'), true}}) {
    download().discard();
    writePartial(before);
    server_.enqueue(whole());
    EXPECT_EQ(run(), "success");
    EXPECT_EQ(package(), content_);
    EXPECT_EQ(server_.requests().back().header("Range").has_value(), expectRange);
  }
}

TEST_F(PackageDownloadTest, NonRegularCacheItems_AreRemovedUnfollowedAndTheDownloadGoesOn) {
  testing::TemporaryDirectory elsewhere;
  testing::writeFile(elsewhere / "target", "keep me");
  const std::function<void()> plants[] = {
      [&] { fs::create_symlink(elsewhere / "target", download().partialFile()); },
      [&] { fs::create_symlink(elsewhere / "missing", download().packageFile()); },
      [&] { fs::create_directories(download().packageFile() / "inner"); },
      [&] { ASSERT_EQ(::mkfifo(download().partialFile().c_str(), 0600), 0); },
  };
  for (const auto& plant : plants) {
    download().discard();
    plant();
    server_.enqueue(whole());
    EXPECT_EQ(run(), "success");
    EXPECT_EQ(package(), content_);
  }
  EXPECT_EQ(testing::readFile(elsewhere / "target"), "keep me");
}

TEST_F(PackageDownloadTest, BadCacheOrConfiguration_IsRefusedBeforeAnyRequest) {
  testing::TemporaryDirectory elsewhere;
  fs::create_symlink(elsewhere.path(), cache_ / "linked-cache");
  EXPECT_EQ(run(*makeDownload(cache_ / "linked-cache")), "The download cache path is invalid.");
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));

  configuration_.sizeBytes = 0;
  start(download(), false);
  EXPECT_EQ(completions_, 1);
  EXPECT_EQ(messageOf(result_), "The installer configuration is invalid. Download it again.");
  EXPECT_FALSE(fs::exists(download().partialFile()));
  EXPECT_EQ(requests(), 0u);
}

TEST_F(PackageDownloadTest, PartialFileModeAndDiscard_TouchOnlyTheTwoCacheFiles) {
  server_.enqueue(ScriptedResponse::withStatus(500));
  EXPECT_EQ(run(), kUnavailable);
  EXPECT_EQ(testing::permissionBits(download().partialFile()), 0600u);
  fs::permissions(download().partialFile(), fs::perms(0644));
  server_.enqueue(ScriptedResponse::withStatus(500));
  EXPECT_EQ(run(), kUnavailable);
  EXPECT_EQ(testing::permissionBits(download().partialFile()), 0644u);

  testing::writeFile(cache_ / "installer.lock", "");
  testing::writeFile(download().packageFile(), "package");
  download().discard();
  download().discard();  // nothing there any more
  EXPECT_FALSE(fs::exists(download().partialFile()) || fs::exists(download().packageFile()));
  EXPECT_TRUE(fs::exists(cache_ / "installer.lock"));
}

TEST_F(PackageDownloadTest, Request_CarriesExactlyTheDownloadHeaders) {
  // given production from zero, production resumed after one MiB, and staging with its token
  for (const auto& [staging, from] : {std::pair{false, std::size_t{0}}, {false, kMiB}, {true, 0}}) {
    if (staging) {
      configuration_ = testing::withPackage(testing::validStagingConfiguration(),
                                            configuration_.sizeBytes, configuration_.sha256);
    }
    download_.reset();
    download().discard();
    progress_.clear();
    writePartial(content_.substr(0, from));
    server_.enqueue(from > 0 ? rest(from) : whole());
    EXPECT_EQ(run(), "success");
    EXPECT_EQ(package(), content_);
    ASSERT_FALSE(progress_.empty());
    EXPECT_TRUE(std::is_sorted(progress_.begin(), progress_.end()));
    EXPECT_DOUBLE_EQ(progress_.back(), 1.0);

    const auto request = server_.requests().back();
    EXPECT_EQ(request.method + " " + request.path, "GET " + configuration_.installerURL.path());
    HeaderList expected = {{"Accept-Encoding", "identity"}};
    if (from > 0) expected.emplace_back("Range", "bytes=" + std::to_string(from) + "-");
    if (staging) expected.emplace_back("X-Vexa-Internal-Token", configuration_.downloadToken);
    for (const auto& [name, value] : expected) EXPECT_EQ(request.header(name), value);
    EXPECT_EQ(request.headers.size(), expected.size() + 1);  // and Host
    EXPECT_TRUE(request.header("Host"));
  }
}

// Answers to a resume at byte 1000: refused ones keep the partial file as it was and are neither
// followed nor retried; accepted ones complete the package.
TEST_F(PackageDownloadTest, Response_IsAcceptedOnlyWhenItMatchesThePackageExactly) {
  const std::string range = "bytes 1000-2097274/2097275";
  const struct {
    int status;
    HeaderList headers;
    std::string outcome;
    bool declareLength = true;
  } cases[] = {
      {206, {{"Content-Range", "bytes 1000-2097274/*"}}, kUnavailable},
      {206, {{"Content-Range", "bytes 1001-2097274/2097275"}}, kUnavailable},
      {416, {}, kUnavailable},
      {500, {}, kUnavailable},
      {206, {{"Content-Range", range}, {"Content-Encoding", "gzip"}}, kInvalid},
      {206, {{"Content-Range", range}, {"Content-Length", "2096276"}}, kSize},
      {206, {{"Content-Range", range}, {"Content-Length", " 2096275x"}}, kSize},
      // A repeated field is judged by all its values, never by its first alone.
      {206,
       {{"Content-Range", range}, {"Content-Encoding", "identity"}, {"Content-Encoding", "gzip"}},
       kInvalid},
      {206, {{"Content-Range", range}, {"Content-Range", "bytes 0-2097274/2097275"}}, kUnavailable},
      {206,
       {{"Content-Range", range}, {"Content-Length", "2096275"}, {"Content-Length", "20962750"}},
       kSize},
      // A whole package of the wrong length is refused before it costs the saved bytes.
      {200, {{"Content-Length", "2097276"}}, kSize},
      {302,
       {{"Location", "https://downloads.vexa.example/other.dmg"}},
       "The download address changed. Download the installer again."},
      {206, {{"Content-Range", range}, {"Content-Encoding", "identity"}}, "success"},
      // No length: the end of the connection ends the body.
      {206, {{"Content-Range", range}}, "success", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    download().discard();
    writePartial(content_.substr(0, 1000));
    const std::size_t before = requests();
    ScriptedResponse response = ScriptedResponse::withStatus(c.status, content_.substr(1000));
    response.headers = c.headers;
    response.declareLength = c.declareLength;
    server_.enqueue(response);
    EXPECT_EQ(run(), c.outcome);
    EXPECT_EQ(requests(), before + 1);
    if (c.outcome == "success") {
      EXPECT_EQ(package(), content_);
    } else {
      EXPECT_EQ(partial(), content_.substr(0, 1000));
      EXPECT_FALSE(fs::exists(download().packageFile()));
    }
  }
}

TEST_F(PackageDownloadTest, TooManyBytes_StopAtTheChunkThatPassesTheSizeWritingNothingOfIt) {
  const std::size_t resumeAt = content_.size() - 100;
  writePartial(content_.substr(0, resumeAt));
  ScriptedResponse overlong = rest(resumeAt);
  overlong.body += std::string(5000, 'X');  // one chunk: the 100 missing bytes and more
  overlong.declareLength = false;
  server_.enqueue(overlong);
  EXPECT_EQ(run(), "The download exceeded its declared size and was stopped.");
  EXPECT_EQ(partial(), content_.substr(0, resumeAt));
}

TEST_F(PackageDownloadTest, EarlyEnd_IsInterruptedAndTheNextStartResumesThere) {
  // given one body that ends cleanly but short (no length declared) and one cut against its length
  for (const bool declared : {false, true}) {
    download().discard();
    ScriptedResponse cut = whole();
    cut.declareLength = declared;
    cut.ending = ScriptedResponse::Ending::close;
    cut.sendBytes = 700000;
    server_.enqueue(cut);
    EXPECT_EQ(run(), kInterrupted);
    EXPECT_EQ(partial(), content_.substr(0, 700000));
    expectResumedFrom(700000);
  }
}

TEST_F(PackageDownloadTest, Pause_OutranksEverythingAndWritesNothingAfterIt) {
  // given a server that would go on to send more than the package holds
  ScriptedResponse overlong = ScriptedResponse::withStatus(200, content_ + std::string(kMiB, 'X'));
  overlong.declareLength = false;
  overlong.dripBytes = 64 * 1024;
  overlong.dripDelay = std::chrono::milliseconds(2);
  server_.enqueue(overlong);
  std::size_t lengthAtPause = 0;
  download().start(
      [&](double) {
        if (lengthAtPause > 0) return;
        lengthAtPause = fs::file_size(download().partialFile());
        download().pause();
        download().pause();  // a pending pause is not repeated
      },
      [&](DownloadResult outcome) {
        ++completions_;
        result_ = std::move(outcome);
      });
  ASSERT_TRUE(testing::runEventLoopUntil([&] { return completions_ > 0; }));
  testing::runEventLoopFor(std::chrono::milliseconds(30));
  EXPECT_EQ(completions_, 1);
  EXPECT_EQ(messageOf(result_), kPaused);
  ASSERT_GT(lengthAtPause, 0u);
  EXPECT_EQ(partial().size(), lengthAtPause);
  expectResumedFrom(lengthAtPause);
}

// A second start while a transfer runs changes nothing; destroying the download then cancels the
// transfer without a call and keeps the bytes.
TEST_F(PackageDownloadTest, SecondStartOrDestructionWhileRunning_CallsNothing) {
  startStalled(3000);
  int secondCalls = 0;
  download().start([&](double) { ++secondCalls; }, [&](DownloadResult) { ++secondCalls; });
  const fs::path partialFile = download().partialFile();
  testing::runEventLoopFor(std::chrono::milliseconds(30));
  download_.reset();
  testing::runEventLoopFor(std::chrono::milliseconds(30));
  EXPECT_EQ(completions_ + secondCalls, 0);
  EXPECT_EQ(requests(), 1u);
  EXPECT_EQ(testing::readFile(partialFile), content_.substr(0, 3000));
}

// A process killed midway leaves every byte it received on disk, and the next one resumes there.
TEST_F(PackageDownloadTest, ProcessKilledMidway_KeepsTheBytesItReceived) {
  testing::writeFile(cache_ / "configuration.json", configuration_.encode());
  ScriptedResponse stalled = whole();
  stalled.ending = ScriptedResponse::Ending::stall;
  stalled.sendBytes = 600000;
  server_.enqueue(stalled);
  {
    testing::BackgroundProgram driver(
        fs::path(VEXA_TEST_PROGRAMS_DIR) / "package_download_driver",
        {"package_download_driver", (cache_ / "configuration.json").string(),
         cache_.path().string(), server_.authorityFile().string(),
         server_.connectTo(configuration_.installerURL.host().value_or(""))});
    ASSERT_TRUE(testing::runEventLoopUntil([&] {
      std::error_code missing;
      return fs::file_size(download().partialFile(), missing) == 600000;
    }));
    driver.signal(SIGKILL);
    EXPECT_EQ(driver.wait().terminatingSignal, SIGKILL);
  }
  expectResumedFrom(600000);
}

}  // namespace
}  // namespace vexa
