// Runs one installation in a process of its own, so that tests can kill it at any moment.
//
//   install_driver CONFIGURATION_JSON PACKAGE PARENT TOOLS_FOLDER
//
// Nothing counts as running. Prints "installed" or the failure's message on one line and exits 0
// or 1.

#include <iostream>

#include "install/install_procedure.h"
#include "platform/file_reading.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: install_driver CONFIGURATION_JSON PACKAGE PARENT TOOLS_FOLDER\n";
    return 2;
  }
  try {
    const auto configuration =
        vexa::InstallConfiguration::decode(vexa::platform::readWholeFile(argv[1]));
    vexa::VerificationServices services;
    services.tools = vexa::SystemTools::inDirectory(argv[4]);
    (void)vexa::NativeInstaller::install(
        argv[2], argv[3], configuration, std::nullopt, [](const std::string&) { return false; },
        services);
    std::cout << "installed" << std::endl;
    return 0;
  } catch (const std::exception& error) {
    std::cout << error.what() << std::endl;
    return 1;
  }
}
