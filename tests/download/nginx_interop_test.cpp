// The download against a server nobody here wrote: nginx on loopback, TLS with a test authority,
// HTTP/2 offered, its own range handling.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>

#include "config/package_verification.h"
#include "download/package_download.h"
#include "platform/unique_fd.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/program_run.h"
#include "tests/support/qt_application.h"
#include "tests/support/temporary_directory.h"
#include "tests/support/test_certificate_authority.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;
constexpr std::size_t kPackageSize = 6 * 1024 * 1024 + 321;

std::uint16_t freeLoopbackPort() {
  platform::UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no free port");
  }
  return ntohs(address.sin_port);
}

bool accepting(std::uint16_t port) {
  platform::UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return ::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// One nginx serving one package, throttled so that a test can interrupt a transfer midway.
class NginxInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ensureQtApplication();
    if (!fs::exists("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is not installed";
    package_.resize(kPackageSize);
    std::mt19937_64 generator(20261206);
    for (std::size_t i = 0; i + 8 <= package_.size(); i += 8) {
      const std::uint64_t value = generator();
      std::memcpy(package_.data() + i, &value, 8);
    }
    configuration_ = testing::withPackage(testing::validProductionConfiguration(), kPackageSize,
                                          sha256Hex(package_));
    testing::writeFile(root_ / "www" / fs::path(configuration_.installerURL.path()).relative_path(),
                       package_);

    const auto certificate = authority_.issueServerCertificate({"downloads.vexa.example"});
    certificate.writeCertificate(root_ / "server.pem");
    certificate.writePrivateKey(root_ / "server.key");
    authority_.writeCertificate(root_ / "authority.pem");
    fs::create_directories(root_ / "temp");
    port_ = freeLoopbackPort();
    testing::writeFile(root_ / "nginx.conf", R"(
daemon off;
master_process off;
worker_processes 1;
pid )" + (root_ / "nginx.pid").string() + R"(;
error_log )" + (root_ / "error.log").string() + R"( info;
events { worker_connections 64; }
http {
  log_format interop '$request_method $uri "$http_range" $status $server_protocol';
  access_log )" + (root_ / "access.log").string() +
                                                 R"( interop;
  client_body_temp_path )" + (root_ / "temp").string() +
                                                 R"(;
  proxy_temp_path )" + (root_ / "temp").string() +
                                                 R"(;
  fastcgi_temp_path )" + (root_ / "temp").string() +
                                                 R"(;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:)" + std::to_string(port_) + R"( ssl http2;
    server_name downloads.vexa.example;
    ssl_certificate )" + (root_ / "server.pem").string() +
                                                 R"(;
    ssl_certificate_key )" + (root_ / "server.key").string() +
                                                 R"(;
    root )" + (root_ / "www").string() + R"(;
    limit_rate 8m;
  }
}
)");
    nginx_ = std::make_unique<testing::BackgroundProgram>(
        "/usr/sbin/nginx", std::vector<std::string>{"/usr/sbin/nginx", "-p", root_.path().string(),
                                                    "-c", (root_ / "nginx.conf").string(), "-e",
                                                    (root_ / "error.log").string()});
    ASSERT_TRUE(
        testing::runEventLoopUntil([&] { return accepting(port_); }, std::chrono::seconds(10)))
        << testing::readFile(root_ / "error.log");
  }

  static std::string sha256Hex(const std::string& content);

  [[nodiscard]] platform::UrlSessionConfiguration sessionConfiguration() const {
    platform::UrlSessionConfiguration configuration;
    configuration.connectTo = {connectTo()};
    configuration.additionalCertificateAuthorities = {root_ / "authority.pem"};
    return configuration;
  }
  [[nodiscard]] std::string connectTo() const {
    return "downloads.vexa.example:443:127.0.0.1:" + std::to_string(port_);
  }

  DownloadResult finishDownload(PackageDownload& download) {
    std::optional<DownloadResult> result;
    download.start(nullptr, [&](DownloadResult outcome) { result = std::move(outcome); });
    EXPECT_TRUE(testing::runEventLoopUntil([&] { return result.has_value(); }));
    return result.value_or(DownloadResult{});
  }

  // The access log, one line per request: method, path, "range", status, protocol.
  [[nodiscard]] std::vector<std::string> accessLog() const {
    std::vector<std::string> lines;
    std::ifstream log(root_ / "access.log");
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
  }

  void expectResumedAndVerified(std::int64_t resumedAt) {
    PackageDownload download(configuration_, cache_.path(),
                             [this] { return sessionConfiguration(); });
    const DownloadResult result = finishDownload(download);
    ASSERT_TRUE(result.succeeded());
    EXPECT_NO_THROW(verifyDownload(configuration_, result.package));
    // nginx writes its log line when the response ends.
    ASSERT_TRUE(testing::runEventLoopUntil([&] { return !accessLog().empty(); }));
    const std::string last = accessLog().back();
    EXPECT_NE(last.find("\"bytes=" + std::to_string(resumedAt) + "-\" 206 HTTP/2.0"),
              std::string::npos)
        << last;
  }

  testing::TemporaryDirectory root_;
  testing::TemporaryDirectory cache_;
  testing::TestCertificateAuthority authority_;
  std::string package_;
  InstallConfiguration configuration_;
  std::uint16_t port_ = 0;
  std::unique_ptr<testing::BackgroundProgram> nginx_;
};

std::string NginxInteropTest::sha256Hex(const std::string& content) {
  const fs::path scratch =
      fs::temp_directory_path() / ("vexa-interop-" + std::to_string(::getpid()));
  testing::writeFile(scratch, content);
  const auto result = testing::runProgram("/usr/bin/openssl",
                                          {"openssl", "dgst", "-sha256", "-r", scratch.string()});
  fs::remove(scratch);
  return result.standardOutput.substr(0, 64);
}

TEST_F(NginxInteropTest, PausedMidway_ResumesWithARangeAndVerifies) {
  std::int64_t pausedAt = 0;
  {
    PackageDownload download(configuration_, cache_.path(),
                             [this] { return sessionConfiguration(); });
    std::optional<DownloadResult> result;
    download.start(
        [&](double fraction) {
          if (fraction > 0.3) download.pause();
        },
        [&](DownloadResult outcome) { result = std::move(outcome); });
    ASSERT_TRUE(testing::runEventLoopUntil([&] { return result.has_value(); }));
    ASSERT_FALSE(result->succeeded());
    pausedAt = static_cast<std::int64_t>(fs::file_size(download.partialFile()));
  }
  ASSERT_GT(pausedAt, 0);
  ASSERT_LT(pausedAt, static_cast<std::int64_t>(kPackageSize));
  expectResumedAndVerified(pausedAt);
}

TEST_F(NginxInteropTest, ProcessKilledMidway_ResumesWithARangeAndVerifies) {
  testing::writeFile(root_ / "configuration.json", configuration_.encode());
  const fs::path partial = cache_ / fs::path(configuration_.sha256 + ".partial");
  {
    testing::BackgroundProgram driver(
        fs::path(VEXA_TEST_PROGRAMS_DIR) / "package_download_driver",
        {"package_download_driver", (root_ / "configuration.json").string(), cache_.path().string(),
         (root_ / "authority.pem").string(), connectTo()});
    ASSERT_TRUE(testing::runEventLoopUntil([&] {
      std::error_code missing;
      const auto size = fs::file_size(partial, missing);
      return !missing && size > kPackageSize / 4;
    }));
    driver.signal(SIGKILL);
    EXPECT_EQ(driver.wait().terminatingSignal, SIGKILL);
  }
  const auto killedAt = static_cast<std::int64_t>(fs::file_size(partial));
  ASSERT_LT(killedAt, static_cast<std::int64_t>(kPackageSize));
  expectResumedAndVerified(killedAt);
}

}  // namespace
}  // namespace vexa
