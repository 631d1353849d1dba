// Measures NativeInstaller::install for scripts/bench.
//
//   install_bench prepare WORK_FOLDER SIZE_MIB FILES
//   install_bench install WORK_FOLDER
//
// "prepare" builds, under WORK_FOLDER, a signed application of about SIZE_MIB MiB in about FILES
// files (one large file holding most of the bytes, the rest small), its package package.dmg with a
// matching configuration.json, and a copy of the tool stand-ins that trusts the signing authority.
// "install" installs that package once into WORK_FOLDER/Applications through tools that record how
// long each call takes, prints
//   step <tool> <bundle> <seconds>   (every tool call; bundle: source, staged or target; tools that
//                                    run side by side are listed in the order they ended)
//   step package-digest <seconds>    (verifyDownload alone, measured just before the install)
//   step in-process <seconds>        (the install's time while no tool ran: digest, checks,
//                                    renames)
//   install_seconds <seconds>
//   peak_rss_kib N                   (this process; the tools are separate processes)
//   tools_peak_rss_kib N             (the largest tool process)
// and removes the installed copy. Both exit 1 with the error's message on failure.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "config/package_verification.h"
#include "install/install_procedure.h"
#include "platform/file_reading.h"
#include "platform/file_system_items.h"
#include "platform/sha256.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/package_builder.h"
#include "tests/support/temporary_directory.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kTools[] = {"hdiutil", "ditto", "codesign", "spctl", "lipo"};

// Incompressible content, quickly: the package compresses no better than a real application's
// already-compressed resources would.
void writeRandomFile(const fs::path& path, std::uint64_t size, std::mt19937_64& random) {
  // The bundle builder makes only what every test bundle needs; the folders here are ours to make.
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  std::vector<std::uint64_t> block(1 << 17);
  for (std::uint64_t written = 0; written < size;) {
    for (auto& word : block) word = random();
    const std::uint64_t count =
        std::min<std::uint64_t>(size - written, block.size() * sizeof(std::uint64_t));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(count));
    written += count;
  }
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

void prepare(const fs::path& work, std::uint64_t sizeMib, int files) {
  vexa::testing::TestCertificateAuthority authority;
  (void)vexa::testing::trustedTools(work, authority);
  const fs::path bundle = work / "volume" / "Vexa.app";
  vexa::testing::makeBundle(bundle);
  std::mt19937_64 random(42);
  // An eighth of the bytes in small files, the rest in one.
  const std::uint64_t total = sizeMib << 20,
                      smallSize = total / 8 / static_cast<std::uint64_t>(files);
  writeRandomFile(bundle / "Contents" / "Resources" / "model.bin",
                  total - smallSize * static_cast<std::uint64_t>(files), random);
  for (int i = 0; i < files; ++i) {
    const fs::path folder = bundle / "Contents" / "Resources" / "assets" / std::to_string(i % 40);
    fs::create_directories(folder);
    writeRandomFile(folder / ("asset-" + std::to_string(i) + ".bin"), smallSize, random);
  }
  vexa::testing::signBundle(bundle, authority, "QX7RZ2M4KD");
  vexa::testing::makeImage(work / "volume", work / "package.dmg");
  vexa::platform::removeItemRecursively(work / "volume");
  const auto configuration = vexa::testing::withPackage(
      vexa::testing::validProductionConfiguration(),
      static_cast<std::int64_t>(fs::file_size(work / "package.dmg")),
      vexa::platform::HashableFile::open(work / "package.dmg")->sha256Hex());
  vexa::testing::writeFile(work / "configuration.json", configuration.encode());
}

double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

int install(const fs::path& work) {
  const auto configuration = vexa::InstallConfiguration::decode(
      vexa::platform::readWholeFile(work / "configuration.json"));
  const fs::path log = work / "timing.log";
  fs::remove(log);
  const fs::path helpers = work / "Tools.app" / "Contents" / "Helpers";
  for (const char* tool : kTools) {
    // The arguments name the bundle a call works on (for hdiutil, its verb comes first).
    vexa::testing::writeFile(work / "timed" / tool,
                             "#!/bin/sh\nstart=$(date +%s%N)\n'" + (helpers / tool).string() +
                                 "' \"$@\"\nstatus=$?\necho \"$start $(date +%s%N) " + tool +
                                 " $*\" >> '" + log.string() + "'\nexit $status\n");
    fs::permissions(work / "timed" / tool, fs::perms::owner_all);
  }
  vexa::VerificationServices services;
  services.tools = vexa::SystemTools::inDirectory(work / "timed");
  fs::create_directories(work / "Applications");

  auto start = Clock::now();
  vexa::verifyDownload(configuration, work / "package.dmg");
  const double digest = seconds(Clock::now() - start);
  start = Clock::now();
  (void)vexa::NativeInstaller::install(
      work / "package.dmg", work / "Applications", configuration, std::nullopt,
      [](const std::string&) { return false; }, services);
  const double total = seconds(Clock::now() - start);

  // Tools run side by side, so the time spent in tools is the length of the union of their runs.
  std::vector<std::pair<long long, long long>> runs;
  std::istringstream lines(vexa::platform::readWholeFile(log));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    long long begin = 0, end = 0;
    std::string tool, arguments;
    fields >> begin >> end >> tool;
    std::getline(fields >> std::ws, arguments);
    const std::string subject = tool == "hdiutil" ? arguments.substr(0, arguments.find(' '))
                                : arguments.find("/volume/") != std::string::npos       ? "source"
                                : arguments.find(".vexa-install-") != std::string::npos ? "staged"
                                                                                        : "target";
    runs.emplace_back(begin, end);
    std::cout << "step " << tool << " " << (tool == "ditto" ? "source-to-staged" : subject) << " "
              << static_cast<double>(end - begin) / 1e9 << "\n";
  }
  std::sort(runs.begin(), runs.end());
  double inTools = 0;
  long long covered = std::numeric_limits<long long>::min();
  for (const auto& [begin, end] : runs) {
    if (end > covered) inTools += static_cast<double>(end - std::max(begin, covered)) / 1e9;
    covered = std::max(covered, end);
  }
  std::cout << "step package-digest " << digest << "\n";
  std::cout << "step in-process " << total - inTools << "\n";
  std::cout << "install_seconds " << total << "\n";
  rusage self{}, children{};
  ::getrusage(RUSAGE_SELF, &self);
  ::getrusage(RUSAGE_CHILDREN, &children);
  std::cout << "peak_rss_kib " << self.ru_maxrss << "\ntools_peak_rss_kib " << children.ru_maxrss
            << std::endl;
  vexa::platform::removeItemRecursively(work / "Applications" / "Vexa.app");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "prepare" && argc == 5) {
      prepare(argv[2], std::stoull(argv[3]), std::stoi(argv[4]));
      return 0;
    }
    if (command == "install" && argc == 3) return install(argv[2]);
    std::cerr << "usage: install_bench prepare WORK_FOLDER SIZE_MIB FILES | install_bench install "
                 "WORK_FOLDER\n";
    return 2;
  } catch (const std::exception& error) {
    std::cerr << error.what() << std::endl;
    return 1;
  }
}
