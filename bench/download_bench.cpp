// Measures the package download and the package verification for scripts/bench.
//
//   download_bench download CONFIGURATION_JSON CACHE_FOLDER AUTHORITY_PEM CONNECT_TO
//   download_bench verify CONFIGURATION_JSON PACKAGE
//
// "download" runs one PackageDownload into CACHE_FOLDER and prints
//   baseline_rss_kib N   (resident memory just before the download starts)
//   peak_rss_kib N       (the process's peak resident memory afterwards)
// "verify" runs verifyDownload once. Both exit 1 with the error's message on failure. Timing is the
// script's business, so that this program and its reference are timed the same way.

#include <sys/resource.h>

#include <QCoreApplication>
#include <fstream>
#include <iostream>
#include <string>

#include "config/package_verification.h"
#include "download/package_download.h"
#include "platform/file_reading.h"

namespace {

long currentRssKib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

long peakRssKib() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& failure) {
    return failure.what();
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (!((mode == "download" && argc == 6) || (mode == "verify" && argc == 4))) {
    std::cerr << "usage: download_bench download CONFIGURATION_JSON CACHE_FOLDER AUTHORITY_PEM "
                 "CONNECT_TO\n"
                 "       download_bench verify CONFIGURATION_JSON PACKAGE\n";
    return 2;
  }
  const auto configuration =
      vexa::InstallConfiguration::decode(vexa::platform::readWholeFile(argv[2]));

  if (mode == "verify") {
    try {
      vexa::verifyDownload(configuration, argv[3]);
    } catch (const std::exception& error) {
      std::cerr << error.what() << "\n";
      return 1;
    }
    return 0;
  }

  QCoreApplication application(argc, argv);
  vexa::platform::UrlSessionConfiguration session;
  session.additionalCertificateAuthorities.emplace_back(argv[4]);
  session.connectTo.emplace_back(argv[5]);
  vexa::PackageDownload download(configuration, argv[3], [session] { return session; });
  const long baseline = currentRssKib();
  int status = 1;
  bool done = false;
  download.start(nullptr, [&](vexa::DownloadResult result) {
    done = true;
    if (result.succeeded()) {
      status = 0;
    } else {
      std::cerr << describe(result.error) << "\n";
    }
    QCoreApplication::exit(status);
  });
  if (!done) QCoreApplication::exec();
  std::cout << "baseline_rss_kib " << baseline << "\npeak_rss_kib " << peakRssKib() << "\n";
  return status;
}
