#include "platform/system_version.h"

#include <gtest/gtest.h>

#include <regex>

namespace vexa::platform {
namespace {

TEST(SystemVersion, TakesTheFirstThreeNumbersOfTheRelease) {
  struct Case {
    const char* release;
    const char* version;
  } cases[] = {
      {"6.1.0-18-amd64", "6.1.0"},
      {"5.15.153.1-microsoft-standard-WSL2", "5.15.153"},
      {"6.8", "6.8.0"},
      {"4.19.0+", "4.19.0"},
      {"6", "6.0.0"},
      {"", "0.0.0"},
      {"v6.1", "0.0.0"},
      {"6.x.3", "6.0.0"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(systemVersionFromRelease(c.release), c.version) << c.release;
  EXPECT_TRUE(std::regex_match(runningSystemVersion(), std::regex("[0-9]+\\.[0-9]+\\.[0-9]+")));
}

}  // namespace
}  // namespace vexa::platform
