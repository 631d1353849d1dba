// The download against a server nobody here wrote: nginx on loopback, TLS with a test authority,
// HTTP/2 offered, its own range handling.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

// A loopback port free at the time of the call.
std::uint16_t freePort() {
  platform::UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  ::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// Given nginx serving a throttled package, a download paused midway resumes with a range that
// nginx answers over HTTP/2, and the result verifies.
TEST(NginxInteropTest, PausedMidway_ResumesWithARangeAndVerifies) {
  if (!fs::exists("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is not installed";
  testing::ensureQtApplication();
  testing::TemporaryDirectory root, cache;
  std::string package(6 * 1024 * 1024 + 321, '\0');
  for (std::size_t i = 0; i < package.size(); ++i)
    package[i] = static_cast<char>(i * 7919 + i / 977);
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
  const std::uint16_t port = freePort();
  // Relative paths are taken from the prefix, the temporary folder; nginx writes its pid file
  // once it listens.
  testing::writeFile(root / "nginx.conf",
                     "daemon off; master_process off; pid nginx.pid; events {} http {\n"
                     "log_format interop '$status $server_protocol';\n"
                     "access_log access.log interop; client_body_temp_path t; proxy_temp_path t; "
                     "fastcgi_temp_path t; uwsgi_temp_path t; scgi_temp_path t;\n"
                     "server { listen 127.0.0.1:" +
                         std::to_string(port) + " ssl http2; server_name " + host +
                         "; ssl_certificate server.pem; ssl_certificate_key server.key; root "
                         "www; limit_rate 8m; } }\n");
  testing::BackgroundProgram nginx(
      "/usr/sbin/nginx", {"nginx", "-p", root.path(), "-c", "nginx.conf", "-e", "error.log"});
  ASSERT_TRUE(testing::runEventLoopUntil([&] { return fs::exists(root / "nginx.pid"); }))
      << testing::readFile(root / "error.log");

  platform::UrlSessionConfiguration session;
  session.connectTo = {host + ":443:127.0.0.1:" + std::to_string(port)};
  session.additionalCertificateAuthorities = {root / "authority.pem"};
  // Paused once a third has arrived, then started afresh by a new download object.
  std::optional<DownloadResult> result;
  for (const bool pausing : {true, false}) {
    PackageDownload download(configuration, cache.path(), [&] { return session; });
    result.reset();
    download.start(
        [&](double fraction) {
          if (pausing && fraction > 0.3) download.pause();
        },
        [&](DownloadResult outcome) { result = std::move(outcome); });
    ASSERT_TRUE(testing::runEventLoopUntil([&] { return result.has_value(); }));
    ASSERT_NE(result->succeeded(), pausing);
  }
  EXPECT_NO_THROW(verifyDownload(configuration, result->package));
  // nginx writes its log line when the response ends: a range answered over HTTP/2.
  EXPECT_TRUE(testing::runEventLoopUntil([&] {
    return testing::readFile(root / "access.log").find("206 HTTP/2.0") != std::string::npos;
  })) << testing::readFile(root / "access.log");
}

}  // namespace
}  // namespace vexa
