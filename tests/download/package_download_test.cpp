#include "download/package_download.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/configuration_samples.h"
#include "tests/support/https_test_server.h"
#include "tests/support/qt_application.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using testing::HeaderList;
using testing::ScriptedResponse;
namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1 << 20;
const std::string kUnavailable =
    "The download service is unavailable or resume data does not match. Retry.";
const std::string kSize = "The installer size does not match. Download it again.";

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
    return download_ ? *download_ : *(download_ = makeDownload(cache_.path()));
  }
  // Starts; on return the download has ended (or, with `wait` false, has merely started).
  void start(PackageDownload& target, bool wait = true) {
    completions_ = 0;
    target.start(
        [this](double fraction) {
          progress_.push_back(fraction);
          if (onProgress_) onProgress_();
        },
        [this](DownloadResult outcome) {
          ++completions_;
          result_ = std::move(outcome);
        });
    ASSERT_TRUE(!wait || testing::runEventLoopUntil([&] { return completions_ > 0; }));
  }
  // Runs one start to its end and checks that it ended exactly once; returns its message.
  std::string run(PackageDownload& target) {
    start(target);
    testing::runEventLoopFor(std::chrono::milliseconds(20));
    EXPECT_EQ(completions_, 1);
    return message();
  }
  std::string run() { return run(download()); }
  [[nodiscard]] std::string message() const {
    try {
      if (result_.error) std::rethrow_exception(result_.error);
    } catch (const std::exception& error) {
      return error.what();
    }
    return "success";
  }

  ScriptedResponse whole() { return ScriptedResponse::withStatus(200, content_); }
  ScriptedResponse rest(std::size_t from) {
    return {.status = 206,
            .headers = {{"Content-Range", "bytes " + std::to_string(from) + "-2097274/2097275"}},
            .body = content_.substr(from)};
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

// Cache items that cannot be resumed are replaced, never followed: a partial file longer than the
// package, one whose bytes are not the package's (resumed, but answered with the whole package),
// links, a folder and a pipe.
TEST_F(PackageDownloadTest, UnusableCacheItems_AreReplacedByTheWholePackage) {
  testing::TemporaryDirectory elsewhere;
  testing::writeFile(elsewhere / "target", "keep me");
  const std::pair<std::function<void()>, bool> cases[] = {
      {[&] { writePartial(content_ + "tail"); }, false},
      {[&] { writePartial(std::string(kMiB, '#')); }, true},
      {[&] { fs::create_symlink(elsewhere / "target", download().partialFile()); }, false},
      {[&] { fs::create_symlink(elsewhere / "missing", download().packageFile()); }, false},
      {[&] { fs::create_directories(download().packageFile() / "inner"); }, false},
      {[&] { ASSERT_EQ(::mkfifo(download().partialFile().c_str(), 0600), 0); }, false},
  };
  for (const auto& [plant, resumes] : cases) {
    download().discard();
    plant();
    server_.enqueue(whole());
    EXPECT_EQ(run(), "success");
    EXPECT_EQ(package(), content_);
    EXPECT_EQ(server_.requests().back().header("Range").has_value(), resumes);
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
  EXPECT_EQ(message(), "The installer configuration is invalid. Download it again.");
  EXPECT_FALSE(fs::exists(download().partialFile()));
  EXPECT_EQ(requests(), 0u);
}

TEST_F(PackageDownloadTest, PartialFileModeAndDiscard_TouchOnlyTheTwoCacheFiles) {
  for (const unsigned mode : {0600u, 0644u}) {  // made private, then left as the user set it
    if (mode != 0600u) fs::permissions(download().partialFile(), fs::perms(mode));
    server_.enqueue(ScriptedResponse::withStatus(500));
    EXPECT_EQ(run(), kUnavailable);
    EXPECT_EQ(testing::permissionBits(download().partialFile()), mode);
  }
  testing::writeFile(cache_ / "installer.lock", "");
  testing::writeFile(download().packageFile(), "package");
  download().discard();
  download().discard();  // nothing there any more
  EXPECT_FALSE(fs::exists(download().partialFile()) || fs::exists(download().packageFile()));
  EXPECT_TRUE(fs::exists(cache_ / "installer.lock"));
}

TEST_F(PackageDownloadTest, Request_CarriesExactlyTheDownloadHeaders) {
  // given production from zero, then staging (with its token) resumed after one MiB
  for (const std::size_t from : {std::size_t{0}, kMiB}) {
    if (from > 0) {
      configuration_ = testing::withPackage(testing::validStagingConfiguration(),
                                            configuration_.sizeBytes, configuration_.sha256);
      download_.reset();
      download().discard();
      writePartial(content_.substr(0, from));
    }
    progress_.clear();
    server_.enqueue(from > 0 ? rest(from) : whole());
    EXPECT_EQ(run(), "success");
    EXPECT_EQ(package(), content_);
    ASSERT_FALSE(progress_.empty());
    EXPECT_TRUE(std::is_sorted(progress_.begin(), progress_.end()));
    EXPECT_DOUBLE_EQ(progress_.back(), 1.0);

    const auto request = server_.requests().back();
    EXPECT_EQ(request.method + " " + request.path, "GET " + configuration_.installerURL.path());
    HeaderList expected = {{"Accept-Encoding", "identity"}};
    if (from > 0) {
      expected.emplace_back("Range", "bytes=" + std::to_string(from) + "-");
      expected.emplace_back("X-Vexa-Internal-Token", configuration_.downloadToken);
    }
    for (const auto& [name, value] : expected) EXPECT_EQ(request.header(name), value);
    EXPECT_EQ(request.headers.size(), expected.size() + 1);  // and Host
  }
}

// Answers to a resume 100 bytes before the end: refused ones keep the partial file as it was and
// are neither followed nor retried; accepted ones complete the package.
TEST_F(PackageDownloadTest, Response_IsAcceptedOnlyWhenItMatchesThePackageExactly) {
  const std::size_t at = content_.size() - 100;
  const HeaderList range = rest(at).headers;
  const auto with = [&](HeaderList more) {
    more.insert(more.begin(), range.front());
    return more;
  };
  const std::pair<ScriptedResponse, std::string> cases[] = {
      {{.status = 206, .headers = {{"Content-Range", "bytes 2097176-2097274/2097275"}}},
       kUnavailable},
      {{.status = 416}, kUnavailable},
      // A repeated field is judged by all its values, never by its first alone.
      {{.status = 206,
        .headers = with({{"Content-Encoding", "identity"}, {"Content-Encoding", "gzip"}})},
       "The download service returned an invalid response."},
      {{.status = 206, .headers = with({{"Content-Length", " 100x"}})}, kSize},
      // A whole package of the wrong length is refused before it costs the saved bytes.
      {{.status = 200, .headers = {{"Content-Length", "2097276"}}}, kSize},
      {{.status = 302, .headers = {{"Location", "https://downloads.vexa.example/other.dmg"}}},
       "The download address changed. Download the installer again."},
      // Too many bytes stop at the chunk that passes the size, and nothing of it is written.
      {{.status = 206,
        .headers = range,
        .body = rest(at).body + std::string(5000, 'X'),
        .declareLength = false},
       "The download exceeded its declared size and was stopped."},
      {{.status = 206, .headers = with({{"Content-Encoding", "identity"}})}, "success"},
      // No length: the end of the connection ends the body.
      {{.status = 206, .headers = range, .declareLength = false}, "success"},
  };
  for (auto [response, outcome] : cases) {
    SCOPED_TRACE(outcome);
    download().discard();
    writePartial(content_.substr(0, at));
    const std::size_t before = requests();
    if (response.body.empty()) response.body = content_.substr(at);
    server_.enqueue(response);
    EXPECT_EQ(run(), outcome);
    EXPECT_EQ(requests(), before + 1);
    const bool accepted = outcome == "success";
    EXPECT_EQ(fs::exists(download().packageFile()), accepted);
    EXPECT_EQ(accepted ? package() : partial(), content_.substr(0, accepted ? at + 100 : at));
  }
}

TEST_F(PackageDownloadTest, EarlyEnd_IsInterruptedAndTheNextStartResumesThere) {
  // given one body that ends cleanly but short (no length declared) and one cut against its length
  for (const bool declared : {false, true}) {
    download().discard();
    server_.enqueue({.body = content_,
                     .declareLength = declared,
                     .ending = ScriptedResponse::Ending::close,
                     .sendBytes = 700000});
    EXPECT_EQ(run(), "Network interrupted. Download progress was saved; retry.");
    EXPECT_EQ(partial(), content_.substr(0, 700000));
    expectResumedFrom(700000);
  }
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
    lengthAtPause = fs::file_size(download().partialFile());
    download().pause();
    download().pause();  // a pending pause is not repeated
  };
  EXPECT_EQ(run(), "Download paused. Select Continue Download.");
  onProgress_ = nullptr;
  ASSERT_GT(lengthAtPause, 0u);
  EXPECT_EQ(partial().size(), lengthAtPause);
  expectResumedFrom(lengthAtPause);
}

// A second start while a transfer runs changes nothing; destroying the download then cancels the
// transfer without a call and keeps the bytes, which reach the file as they arrive.
TEST_F(PackageDownloadTest, SecondStartOrDestructionWhileRunning_CallsNothing) {
  server_.enqueue({.body = content_, .ending = ScriptedResponse::Ending::stall, .sendBytes = 3000});
  start(download(), false);
  const fs::path partialFile = download().partialFile();
  ASSERT_TRUE(testing::runEventLoopUntil([&] { return fs::file_size(partialFile) == 3000; }));
  int secondCalls = 0;
  download().start([&](double) { ++secondCalls; }, [&](DownloadResult) { ++secondCalls; });
  testing::runEventLoopFor(std::chrono::milliseconds(30));
  download_.reset();
  testing::runEventLoopFor(std::chrono::milliseconds(30));
  EXPECT_EQ(completions_ + secondCalls, 0);
  EXPECT_EQ(requests(), 1u);
  EXPECT_EQ(testing::readFile(partialFile), content_.substr(0, 3000));
}

}  // namespace
}  // namespace vexa
