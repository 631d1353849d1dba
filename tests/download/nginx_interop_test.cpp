// The download against a server nobody here wrote: nginx on loopback, TLS with a test authority,
// HTTP/2 offered, its own range handling.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

// Binds (port 0: any free one) or connects to a loopback port; returns the port, 0 on failure.
std::uint16_t loopback(std::uint16_t port, bool connect) {
  platform::UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if (connect) return ::connect(probe.get(), raw, length) == 0 ? port : 0;
  if (::bind(probe.get(), raw, length) != 0 || ::getsockname(probe.get(), raw, &length) != 0)
    return 0;
  return ntohs(address.sin_port);
}

// Given nginx serving a throttled package, a download paused midway resumes with a range that
// nginx answers over HTTP/2, and the result verifies.
TEST(NginxInteropTest, PausedMidway_ResumesWithARangeAndVerifies) {
  if (!fs::exists("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is not installed";
  testing::ensureQtApplication();
  testing::TemporaryDirectory root, cache;
  std::string package(6 * 1024 * 1024 + 321, '\0');
  std::mt19937 generator(20261206);
  for (char& byte : package) byte = static_cast<char>(generator());
  const InstallConfiguration configuration = testing::withPackage(
      testing::validProductionConfiguration(), static_cast<std::int64_t>(package.size()),
      testing::referenceSha256(package));
  testing::writeFile(root / "www" / fs::path(configuration.installerURL.path()).relative_path(),
                     package);
  testing::TestCertificateAuthority authority;
  const std::string host = configuration.installerURL.host().value_or("");
  const auto certificate = authority.issueServerCertificate({host});
  certificate.writeCertificate(root / "server.pem");
  certificate.writePrivateKey(root / "server.key");
  authority.writeCertificate(root / "authority.pem");
  fs::create_directory(root / "t");
  const std::uint16_t port = loopback(0, false);
  const std::string r = root.path().string() + "/";
  testing::writeFile(
      root / "nginx.conf",
      "daemon off; master_process off; pid " + r + "nginx.pid; error_log " + r +
          "error.log info; events {} http {\n"
          "log_format interop '\"$http_range\" $status $server_protocol';\n"
          "access_log " +
          r + "access.log interop; client_body_temp_path " + r + "t; proxy_temp_path " + r +
          "t; fastcgi_temp_path " + r + "t; uwsgi_temp_path " + r + "t; scgi_temp_path " + r +
          "t;\nserver { listen 127.0.0.1:" + std::to_string(port) + " ssl http2; server_name " +
          host + "; ssl_certificate " + r + "server.pem; ssl_certificate_key " + r +
          "server.key; root " + r + "www; limit_rate 8m; } }\n");
  testing::BackgroundProgram nginx(
      "/usr/sbin/nginx", {"nginx", "-p", r, "-c", r + "nginx.conf", "-e", r + "error.log"});
  ASSERT_TRUE(testing::runEventLoopUntil([&] { return loopback(port, true) != 0; }))
      << testing::readFile(root / "error.log");

  const auto session = [&] {
    platform::UrlSessionConfiguration s;
    s.connectTo = {host + ":443:127.0.0.1:" + std::to_string(port)};
    s.additionalCertificateAuthorities = {root / "authority.pem"};
    return s;
  };
  std::optional<DownloadResult> result;
  std::size_t pausedAt = 0;
  {
    PackageDownload download(configuration, cache.path(), session);
    download.start(
        [&](double fraction) {
          if (fraction > 0.3) download.pause();
        },
        [&](DownloadResult outcome) { result = std::move(outcome); });
    ASSERT_TRUE(testing::runEventLoopUntil([&] { return result.has_value(); }));
    ASSERT_FALSE(result->succeeded());
    pausedAt = fs::file_size(download.partialFile());
  }
  ASSERT_GT(pausedAt, 0u);
  ASSERT_LT(pausedAt, package.size());
  result.reset();
  PackageDownload download(configuration, cache.path(), session);
  download.start(nullptr, [&](DownloadResult outcome) { result = std::move(outcome); });
  ASSERT_TRUE(testing::runEventLoopUntil([&] { return result.has_value(); }));
  ASSERT_TRUE(result->succeeded());
  EXPECT_NO_THROW(verifyDownload(configuration, result->package));
  // nginx writes its log line when the response ends.
  const std::string expected = "\"bytes=" + std::to_string(pausedAt) + "-\" 206 HTTP/2.0";
  EXPECT_TRUE(testing::runEventLoopUntil([&] {
    std::ifstream log(root / "access.log");
    std::string line, last;
    while (std::getline(log, line)) last = line;
    return last == expected;
  })) << testing::readFile(root / "access.log");
}

}  // namespace
}  // namespace vexa
