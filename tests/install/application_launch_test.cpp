#include "install/application_launch.h"

#include <gtest/gtest.h>

#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/package_builder.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

// A name that leads out of Contents/MacOS, or names no file, is refused before anything runs. A
// plain name is started: the scenario tests see the installed product running.
TEST(OpenApplication, RefusesANameThatLeadsOutOfTheBundle) {
  const testing::ScopedEnvironment english{{"LANGUAGE", "en"}};
  const testing::TemporaryDirectory directory;
  int index = 0;
  for (const char* name : {"", ".", "..", "../MacOS/Vexa"}) {
    const std::filesystem::path bundle = directory / (std::to_string(++index) + ".app");
    testing::makeBundle(bundle, {.executableName = name});
    EXPECT_EQ(testing::failureMessage<InstallerFailure>(
                  [&] { NativeInstaller::openApplication(bundle); }),
              "The application information is invalid.")
        << name;
  }
}

}  // namespace
}  // namespace vexa
