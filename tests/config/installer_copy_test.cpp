#include "config/installer_copy.h"

#include <gtest/gtest.h>

#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

// The preferred-language list comes from the environment and is read again on every call; any
// tag of the language zh chooses Chinese.
TEST(InstallerCopyTest, Text_FollowsTheFirstPreferredLanguageOnly) {
  using Env = std::optional<std::string>;
  const struct {
    Env language, lcAll, lcMessages, lang;
    const char* expected;
  } cases[] = {
      {"yue-Hant:zh-Hans-CN", {}, {}, {}, "en"},
      {"Zh_TW:en", {}, {}, "en_US.UTF-8", "zh"},
      {{}, "en_GB.UTF-8", "zh_CN.UTF-8", "zh_CN.UTF-8", "en"},
      {{}, {}, "zh_TW.UTF-8", "en_US.UTF-8", "zh"},
      {{}, {}, {}, "C", "en"},
  };
  for (const auto& c : cases) {
    testing::ScopedEnvironment environment{{"LANGUAGE", c.language},
                                           {"LC_ALL", c.lcAll},
                                           {"LC_MESSAGES", c.lcMessages},
                                           {"LANG", c.lang}};
    EXPECT_EQ(InstallerCopy::text("zh", "en"), c.expected) << c.language.value_or("-");
  }
}

}  // namespace
}  // namespace vexa
