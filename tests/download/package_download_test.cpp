#include "download/package_download.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/https_test_server.h"
#include "tests/support/qt_application.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using testing::HttpsTestServer;
using testing::ScriptedResponse;
namespace fs = std::filesystem;

constexpr std::int64_t kMiB = 1 << 20;

const std::string kPaused = "Download paused. Select Continue Download.";
const std::string kInterrupted = "Network interrupted. Download progress was saved; retry.";
const std::string kRedirected = "The download address changed. Download the installer again.";
const std::string kInvalid = "The download service returned an invalid response.";
const std::string kUnavailable =
    "The download service is unavailable or resume data does not match. Retry.";
const std::string kSize = "The installer size does not match. Download it again.";
const std::string kExceeded = "The download exceeded its declared size and was stopped.";
const std::string kBadPath = "The download cache path is invalid.";

std::string messageOf(const DownloadResult& result) {
  if (!result.error) return "success";
  try {
    std::rethrow_exception(result.error);
  } catch (const std::exception& error) {
    return error.what();
  }
}

// One package served by the scripted server into a real cache folder.
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

  // Starts and waits for the one completion; fails the test on a second one.
  DownloadResult run(PackageDownload& target) {
    int completions = 0;
    DownloadResult result;
    target.start([this](double fraction) { progress_.push_back(fraction); },
                 [&](DownloadResult outcome) {
                   ++completions;
                   result = std::move(outcome);
                 });
    EXPECT_TRUE(vexa::testing::runEventLoopUntil([&] { return completions > 0; }));
    vexa::testing::runEventLoopFor(std::chrono::milliseconds(20));
    EXPECT_EQ(completions, 1);
    return result;
  }
  DownloadResult run() { return run(download()); }

  ScriptedResponse whole(std::string body = {}) {
    return ScriptedResponse::withStatus(200, body.empty() ? content_ : std::move(body));
  }
  ScriptedResponse rest(std::size_t from) {
    ScriptedResponse response = ScriptedResponse::withStatus(206, content_.substr(from));
    response.headers = {{"Content-Range", "bytes " + std::to_string(from) + "-" +
                                              std::to_string(content_.size() - 1) + "/" +
                                              std::to_string(content_.size())}};
    return response;
  }
  void writePartial(const std::string& bytes) {
    testing::writeFile(download().partialFile(), bytes);
  }
  [[nodiscard]] std::string partial() { return testing::readFile(download().partialFile()); }
  void discardAll() { download().discard(); }

  testing::ScopedEnvironment english_{{"LANGUAGE", "en"}, {"LC_ALL", std::nullopt}};
  testing::TemporaryDirectory cache_;
  HttpsTestServer server_;
  std::string content_;
  InstallConfiguration configuration_;
  std::vector<double> progress_;
  std::unique_ptr<PackageDownload> download_;
};

TEST_F(PackageDownloadTest, PresentPackage_EndsBeforeStartReturnsWithoutRequest) {
  testing::writeFile(download().packageFile(), "anything at all");
  std::optional<DownloadResult> result;
  download().start(nullptr, [&](DownloadResult outcome) { result = std::move(outcome); });

  ASSERT_TRUE(result);
  EXPECT_TRUE(result->succeeded());
  EXPECT_EQ(result->package, download().packageFile());
  EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(PackageDownloadTest, CompletePartial_BecomesThePackageWithoutRequest) {
  writePartial(content_);
  const DownloadResult result = run();

  EXPECT_EQ(messageOf(result), "success");
  EXPECT_EQ(testing::readFile(download().packageFile()), content_);
  EXPECT_FALSE(fs::exists(download().partialFile()));
  EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(PackageDownloadTest, OverlongPartialOrFullAnswerToResume_RestartsFromTheFirstByte) {
  // given a partial file longer than the package, then one whose bytes are not the package's and
  // that the server answers with the whole package (200) instead of the range
  for (const auto& [before, expectRange] :
       {std::pair{content_ + "tail", false}, {std::string(kMiB, '#'), true}}) {
    discardAll();
    writePartial(before);
    server_.enqueue(whole());
    const std::size_t requestIndex = server_.requestCount();

    EXPECT_EQ(messageOf(run()), "success");
    EXPECT_EQ(testing::readFile(download().packageFile()), content_);
    const auto request = server_.requests().at(requestIndex);
    EXPECT_EQ(request.header("Range").has_value(), expectRange);
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
    discardAll();
    plant();
    server_.enqueue(whole());
    EXPECT_EQ(messageOf(run()), "success");
    EXPECT_EQ(testing::readFile(download().packageFile()), content_);
  }
  EXPECT_EQ(testing::readFile(elsewhere / "target"), "keep me");
}

TEST_F(PackageDownloadTest, LinkedCacheFolder_IsRefusedBeforeAnyRequest) {
  testing::TemporaryDirectory elsewhere;
  fs::create_symlink(elsewhere.path(), cache_ / "linked-cache");
  auto throughLink = makeDownload(cache_ / "linked-cache");
  EXPECT_EQ(messageOf(run(*throughLink)), kBadPath);
  EXPECT_FALSE(fs::exists(elsewhere / fs::path(configuration_.sha256 + ".partial")));
  EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(PackageDownloadTest, PartialFileMode_NewIsPrivateExistingIsKept) {
  server_.enqueue(ScriptedResponse::withStatus(500));
  EXPECT_EQ(messageOf(run()), kUnavailable);
  EXPECT_EQ(testing::permissionBits(download().partialFile()), 0600u);

  fs::permissions(download().partialFile(), fs::perms(0644));
  server_.enqueue(ScriptedResponse::withStatus(500));
  EXPECT_EQ(messageOf(run()), kUnavailable);
  EXPECT_EQ(testing::permissionBits(download().partialFile()), 0644u);
}

TEST_F(PackageDownloadTest, Discard_RemovesOnlyTheTwoCacheFiles) {
  testing::writeFile(cache_ / "installer.lock", "");
  download().discard();  // nothing there yet
  writePartial("partial");
  testing::writeFile(download().packageFile(), "package");
  download().discard();

  EXPECT_FALSE(fs::exists(download().partialFile()));
  EXPECT_FALSE(fs::exists(download().packageFile()));
  EXPECT_TRUE(fs::exists(cache_ / "installer.lock"));
}

TEST_F(PackageDownloadTest, InvalidConfiguration_EndsAtOnceWithoutTouchingTheCache) {
  configuration_.sizeBytes = 0;
  std::optional<DownloadResult> result;
  download().start(nullptr, [&](DownloadResult outcome) { result = std::move(outcome); });
  ASSERT_TRUE(result);
  EXPECT_EQ(messageOf(*result), "The installer configuration is invalid. Download it again.");
  EXPECT_FALSE(fs::exists(download().partialFile()));
  EXPECT_EQ(server_.requestCount(), 0u);
}

struct RequestCase {
  const char* name;
  bool staging;
  std::int64_t partialBytes;
};

class PackageDownloadRequestTest : public PackageDownloadTest,
                                   public ::testing::WithParamInterface<RequestCase> {};

TEST_P(PackageDownloadRequestTest, Request_CarriesExactlyTheDownloadHeaders) {
  const RequestCase& given = GetParam();
  if (given.staging) {
    configuration_ = testing::withPackage(testing::validStagingConfiguration(),
                                          configuration_.sizeBytes, configuration_.sha256);
  }
  if (given.partialBytes > 0)
    writePartial(content_.substr(0, static_cast<std::size_t>(given.partialBytes)));
  server_.enqueue(given.partialBytes > 0 ? rest(static_cast<std::size_t>(given.partialBytes))
                                         : whole());

  EXPECT_EQ(messageOf(run()), "success");
  EXPECT_EQ(testing::readFile(download().packageFile()), content_);
  ASSERT_FALSE(progress_.empty());
  EXPECT_TRUE(std::is_sorted(progress_.begin(), progress_.end()));
  EXPECT_DOUBLE_EQ(progress_.back(), 1.0);

  const auto request = server_.requests().at(0);
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.path, configuration_.installerURL.path());
  std::set<std::string> names;
  for (const auto& [name, value] : request.headers) names.insert(name);
  std::set<std::string> expected{"Host", "Accept-Encoding"};
  if (given.partialBytes > 0) expected.insert("Range");
  if (given.staging) expected.insert("X-Vexa-Internal-Token");
  EXPECT_EQ(names, expected);
  EXPECT_EQ(request.header("Accept-Encoding"), "identity");
  if (given.partialBytes > 0) {
    EXPECT_EQ(request.header("Range"), "bytes=" + std::to_string(given.partialBytes) + "-");
  }
  if (given.staging) {
    EXPECT_EQ(request.header("X-Vexa-Internal-Token"), configuration_.downloadToken);
  }
}

INSTANTIATE_TEST_SUITE_P(Requests, PackageDownloadRequestTest,
                         ::testing::Values(RequestCase{"ProductionFromZero", false, 0},
                                           RequestCase{"ProductionResumedAfterOneMiB", false, kMiB},
                                           RequestCase{"StagingWithToken", true, 0}),
                         [](const auto& info) { return info.param.name; });

// A response the download must refuse, with the partial file left exactly as it was.
struct RefusalCase {
  const char* name;
  std::function<ScriptedResponse(const ScriptedResponse& valid)> response;
  std::string message;
};

class PackageDownloadRefusalTest : public PackageDownloadTest,
                                   public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(PackageDownloadRefusalTest, RefusedResponse_KeepsThePartialFileAndWritesNothing) {
  const std::string before = content_.substr(0, 1000);
  writePartial(before);
  server_.enqueue(GetParam().response(rest(1000)));

  EXPECT_EQ(messageOf(run()), GetParam().message);
  EXPECT_EQ(partial(), before);
  EXPECT_FALSE(fs::exists(download().packageFile()));
  EXPECT_EQ(server_.requestCount(), 1u);  // nothing followed, nothing retried
}

ScriptedResponse withHeader(ScriptedResponse response, std::string name, std::string value) {
  response.headers.emplace_back(std::move(name), std::move(value));
  return response;
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, PackageDownloadRefusalTest,
    ::testing::Values(
        RefusalCase{"RangeTotalAsAsterisk",
                    [](const ScriptedResponse& valid) {
                      ScriptedResponse response = valid;
                      response.headers = {{"Content-Range", "bytes 1000-2097274/*"}};
                      return response;
                    },
                    kUnavailable},
        RefusalCase{"RangeStartOffByOne",
                    [](const ScriptedResponse& valid) {
                      ScriptedResponse response = valid;
                      response.headers = {{"Content-Range", "bytes 1001-2097274/2097275"}};
                      return response;
                    },
                    kUnavailable},
        RefusalCase{"NotSatisfiable",
                    [](const ScriptedResponse&) { return ScriptedResponse::withStatus(416); },
                    kUnavailable},
        RefusalCase{
            "ServerError",
            [](const ScriptedResponse&) { return ScriptedResponse::withStatus(500, "oops"); },
            kUnavailable},
        RefusalCase{"Gzip",
                    [](const ScriptedResponse& valid) {
                      return withHeader(valid, "Content-Encoding", "gzip");
                    },
                    kInvalid},
        RefusalCase{"WrongLength",
                    [](const ScriptedResponse& valid) {
                      return withHeader(valid, "Content-Length",
                                        std::to_string(valid.body.size() + 1));
                    },
                    kSize},
        RefusalCase{"LengthWithSpace",
                    [](const ScriptedResponse& valid) {
                      return withHeader(valid, "Content-Length",
                                        " " + std::to_string(valid.body.size()) + "x");
                    },
                    kSize},
        // A repeated field is judged by all its values, never by its first alone.
        RefusalCase{"IdentityThenGzip",
                    [](const ScriptedResponse& valid) {
                      return withHeader(withHeader(valid, "Content-Encoding", "identity"),
                                        "Content-Encoding", "gzip");
                    },
                    kInvalid},
        RefusalCase{"TwoRanges",
                    [](const ScriptedResponse& valid) {
                      return withHeader(valid, "Content-Range", "bytes 0-2097274/2097275");
                    },
                    kUnavailable},
        RefusalCase{"TwoLengths",
                    [](const ScriptedResponse& valid) {
                      const std::string length = std::to_string(valid.body.size());
                      return withHeader(withHeader(valid, "Content-Length", length),
                                        "Content-Length", length + "0");
                    },
                    kSize},
        // A whole package of the wrong length is refused before it costs the saved bytes.
        RefusalCase{"WholeOfWrongLength",
                    [](const ScriptedResponse& valid) {
                      ScriptedResponse response = ScriptedResponse::withStatus(200, valid.body);
                      return withHeader(response, "Content-Length", "2097276");
                    },
                    kSize},
        RefusalCase{"Redirect",
                    [](const ScriptedResponse&) {
                      return withHeader(ScriptedResponse::withStatus(302, "redirect body"),
                                        "Location", "https://downloads.vexa.example/other.dmg");
                    },
                    kRedirected}),
    [](const auto& info) { return info.param.name; });

TEST_F(PackageDownloadTest, AcceptableVariations_Succeed) {
  // given no Content-Length (the end of the connection ends the body), and an explicit identity
  ScriptedResponse unsized = rest(kMiB);
  unsized.declareLength = false;
  ScriptedResponse identity = withHeader(rest(kMiB), "Content-Encoding", "identity");
  for (const auto& response : {unsized, identity}) {
    discardAll();
    writePartial(content_.substr(0, kMiB));
    server_.enqueue(response);
    EXPECT_EQ(messageOf(run()), "success");
    EXPECT_EQ(testing::readFile(download().packageFile()), content_);
  }
}

TEST_F(PackageDownloadTest, TooManyBytes_StopAtTheChunkThatPassesTheSizeWritingNothingOfIt) {
  const std::size_t resumeAt = content_.size() - 100;
  writePartial(content_.substr(0, resumeAt));
  ScriptedResponse overlong = rest(resumeAt);
  overlong.body += std::string(5000, 'X');  // one chunk: the 100 missing bytes and more
  overlong.declareLength = false;
  server_.enqueue(overlong);

  EXPECT_EQ(messageOf(run()), kExceeded);
  EXPECT_EQ(partial(), content_.substr(0, resumeAt));
}

TEST_F(PackageDownloadTest, EarlyEnd_IsInterruptedAndTheNextStartResumesThere) {
  // given one body that ends cleanly but short (no length declared) and one cut against its length
  for (const bool declared : {false, true}) {
    discardAll();
    ScriptedResponse cut = whole();
    cut.declareLength = declared;
    cut.ending = ScriptedResponse::Ending::close;
    cut.sendBytes = 700000;
    server_.enqueue(cut);
    EXPECT_EQ(messageOf(run()), kInterrupted);
    EXPECT_EQ(partial(), content_.substr(0, 700000));

    server_.enqueue(rest(700000));
    EXPECT_EQ(messageOf(run()), "success");
    EXPECT_EQ(server_.requests().back().header("Range"), "bytes=700000-");
    EXPECT_EQ(testing::readFile(download().packageFile()), content_);
  }
}

TEST_F(PackageDownloadTest, Pause_OutranksEverythingAndWritesNothingAfterIt) {
  // given a server that would go on to send more than the package holds
  ScriptedResponse overlong = whole(content_ + std::string(kMiB, 'X'));
  overlong.declareLength = false;
  overlong.dripBytes = 64 * 1024;
  overlong.dripDelay = std::chrono::milliseconds(2);
  server_.enqueue(overlong);
  std::int64_t lengthAtPause = -1;
  int completions = 0;
  DownloadResult result;
  download().start(
      [&](double) {
        if (lengthAtPause >= 0) return;
        lengthAtPause = static_cast<std::int64_t>(fs::file_size(download().partialFile()));
        download().pause();
        download().pause();  // a pending pause is not repeated
      },
      [&](DownloadResult outcome) {
        ++completions;
        result = std::move(outcome);
      });
  ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return completions > 0; }));
  vexa::testing::runEventLoopFor(std::chrono::milliseconds(30));

  EXPECT_EQ(completions, 1);
  EXPECT_EQ(messageOf(result), kPaused);
  EXPECT_GT(lengthAtPause, 0);
  EXPECT_EQ(static_cast<std::int64_t>(partial().size()), lengthAtPause);

  // and the next start continues from there
  server_.enqueue(rest(static_cast<std::size_t>(lengthAtPause)));
  EXPECT_EQ(messageOf(run()), "success");
  EXPECT_EQ(testing::readFile(download().packageFile()), content_);
}

TEST_F(PackageDownloadTest, SecondStartWhileRunning_ChangesNothing) {
  ScriptedResponse stalled = whole();
  stalled.ending = ScriptedResponse::Ending::stall;
  stalled.sendBytes = 5000;
  server_.enqueue(stalled);
  int firstCompletions = 0, secondCalls = 0;
  DownloadResult first;
  download().start(nullptr, [&](DownloadResult outcome) {
    ++firstCompletions;
    first = std::move(outcome);
  });
  ASSERT_TRUE(vexa::testing::runEventLoopUntil(
      [&] { return fs::file_size(download().partialFile()) == 5000; }));

  download().start([&](double) { ++secondCalls; }, [&](DownloadResult) { ++secondCalls; });
  download().pause();
  ASSERT_TRUE(vexa::testing::runEventLoopUntil([&] { return firstCompletions > 0; }));
  vexa::testing::runEventLoopFor(std::chrono::milliseconds(30));

  EXPECT_EQ(firstCompletions, 1);
  EXPECT_EQ(messageOf(first), kPaused);
  EXPECT_EQ(secondCalls, 0);
  EXPECT_EQ(server_.requestCount(), 1u);
}

TEST_F(PackageDownloadTest, DestroyedWhileRunning_CallsNothingAndKeepsTheBytes) {
  ScriptedResponse stalled = whole();
  stalled.ending = ScriptedResponse::Ending::stall;
  stalled.sendBytes = 3000;
  server_.enqueue(stalled);
  int calls = 0;
  download().start(nullptr, [&](DownloadResult) { ++calls; });
  ASSERT_TRUE(vexa::testing::runEventLoopUntil(
      [&] { return fs::file_size(download().partialFile()) == 3000; }));

  download_.reset();
  vexa::testing::runEventLoopFor(std::chrono::milliseconds(30));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(testing::readFile(cache_ / fs::path(configuration_.sha256 + ".partial")),
            content_.substr(0, 3000));
}

}  // namespace
}  // namespace vexa
