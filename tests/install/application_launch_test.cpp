#include "install/application_launch.h"

#include <gtest/gtest.h>

#include <thread>

#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/package_builder.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

// Only a plain name inside Contents/MacOS is started; a name that leads elsewhere is refused
// before anything runs.
TEST(OpenApplication, StartsOnlyAPlainNameInsideTheBundle) {
  const testing::ScopedEnvironment english{{"LANGUAGE", "en"}};
  const testing::TemporaryDirectory directory;
  int index = 0;
  for (const char* name : {"", ".", "..", "../MacOS/Vexa", "Vexa"}) {
    const std::filesystem::path bundle = directory / (std::to_string(++index) + ".app");
    testing::makeBundle(bundle, {.executableName = name});
    if (std::string(name) == "Vexa") {
      // The program started proves it ran by leaving a file beside itself.
      testing::writeFile(bundle / "Contents/MacOS/Vexa", "#!/bin/sh\ntouch \"$0.ran\"\n");
      NativeInstaller::openApplication(bundle);
      for (int tries = 0; tries < 500 && !exists(bundle / "Contents/MacOS/Vexa.ran"); ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_TRUE(exists(bundle / "Contents/MacOS/Vexa.ran"));
      continue;
    }
    EXPECT_EQ(testing::failureMessage<InstallerFailure>(
                  [&] { NativeInstaller::openApplication(bundle); }),
              "The application information is invalid.")
        << name;
  }
}

}  // namespace
}  // namespace vexa
