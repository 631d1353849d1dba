#include "config/installer_copy.h"

#include <gtest/gtest.h>

#include "platform/preferred_languages.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

TEST(InstallerCopyTest, ForLanguage_ChoosesChineseForAnyZhTag) {
  const struct {
    std::optional<std::string> tag;
    const char* expected;
  } cases[] = {
      {std::nullopt, "en"}, {"zh", "zh"}, {"Zh_TW", "zh"}, {"yue-Hant", "en"}, {"en-US", "en"},
  };
  for (const auto& testCase : cases) {
    EXPECT_EQ(InstallerCopy::forLanguage(testCase.tag, "zh", "en"), testCase.expected)
        << testCase.tag.value_or("(absent)");
  }
}

// The preferred-language list comes from the environment and is read again on every call.
TEST(InstallerCopyTest, Text_FollowsTheFirstPreferredLanguageOnly) {
  using Env = std::optional<std::string>;
  const struct {
    Env language, lcAll, lcMessages, lang;
    const char* expected;
  } cases[] = {
      {"zh-Hans-CN:en-US", {}, {}, {}, "zh"},
      {"en-US:zh-Hans-CN", {}, {}, {}, "en"},
      {"zh_CN:en", {}, {}, "en_US.UTF-8", "zh"},
      {{}, "en_GB.UTF-8", "zh_CN.UTF-8", "zh_CN.UTF-8", "en"},
      {{}, {}, "zh_TW.UTF-8", "en_US.UTF-8", "zh"},
      {{}, {}, {}, "zh_CN.UTF-8", "zh"},
  };
  for (const auto& c : cases) {
    testing::ScopedEnvironment environment{{"LANGUAGE", c.language},
                                           {"LC_ALL", c.lcAll},
                                           {"LC_MESSAGES", c.lcMessages},
                                           {"LANG", c.lang}};
    EXPECT_EQ(InstallerCopy::text("zh", "en"), c.expected)
        << c.language.value_or("-") << " " << c.lcAll.value_or("-") << " " << c.lang.value_or("-");
  }
}

TEST(InstallerCopyTest, PreferredLanguages_TurnsLocaleNamesIntoTags) {
  testing::ScopedEnvironment environment{{"LANGUAGE", "zh_CN.UTF-8:C:en_US@euro"}, {"LANG", "C"}};
  EXPECT_EQ(platform::preferredLanguages(), (std::vector<std::string>{"zh-CN", "en-US"}));
  environment.set("LANGUAGE", std::nullopt);
  EXPECT_TRUE(platform::preferredLanguages().empty());
}

}  // namespace
}  // namespace vexa
