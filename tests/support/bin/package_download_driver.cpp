// Runs one PackageDownload in a process of its own, so that tests can kill it midway.
//
//   package_download_driver CONFIGURATION_JSON CACHE_FOLDER AUTHORITY_PEM CONNECT_TO...
//
// Prints "success" or the failure's message on one line and exits 0 or 1.

#include <QCoreApplication>
#include <cstdio>
#include <iostream>

#include "download/package_download.h"
#include "platform/file_reading.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::cerr << "usage: package_download_driver CONFIGURATION_JSON CACHE_FOLDER AUTHORITY_PEM "
                 "CONNECT_TO...\n";
    return 2;
  }
  QCoreApplication application(argc, argv);
  const auto configuration =
      vexa::InstallConfiguration::decode(vexa::platform::readWholeFile(argv[1]));
  vexa::platform::UrlSessionConfiguration session;
  session.additionalCertificateAuthorities.emplace_back(argv[3]);
  for (int i = 4; i < argc; ++i) session.connectTo.emplace_back(argv[i]);

  vexa::PackageDownload download(configuration, argv[2], [session] { return session; });
  int status = 1;
  bool done = false;
  download.start(nullptr, [&](vexa::DownloadResult result) {
    done = true;
    if (result.succeeded()) {
      std::cout << "success" << std::endl;
      status = 0;
    } else {
      try {
        std::rethrow_exception(result.error);
      } catch (const std::exception& error) {
        std::cout << error.what() << std::endl;
      }
    }
    QCoreApplication::exit(status);
  });
  // The download may have ended inside start(), before the loop runs.
  return done ? status : QCoreApplication::exec();
}
