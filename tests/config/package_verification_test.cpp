#include <gtest/gtest.h>

#include "config/install_configuration.h"
#include "config/installer_failure.h"
#include "config/package_verification.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using testing::ScopedEnvironment;

const std::string kSize = "The installer size does not match. Download it again.";
const std::string kDigest = "Installer verification failed. Download it again.";

InstallConfiguration describing(const std::string& content) {
  return testing::withPackage(testing::validProductionConfiguration(),
                              static_cast<std::int64_t>(content.size()),
                              testing::referenceSha256(content));
}

// The message verifyDownload() fails with, or "" when it passes.
std::string verify(const InstallConfiguration& configuration, const std::filesystem::path& file) {
  try {
    verifyDownload(configuration, file);
  } catch (const InstallerFailure& failure) {
    EXPECT_EQ(failure.reason(), InstallerFailureReason::general);
    return failure.what();
  }
  return "";
}

TEST(PackageVerificationTest, Verify_ComparesSizeThenDigestAndClosesTheFile) {
  ScopedEnvironment english{{"LANGUAGE", "en"}, {"LC_ALL", std::nullopt}};
  testing::TemporaryDirectory folder;
  std::string mib((1 << 20) + 1, '\0');  // one byte beyond the first full read
  for (std::size_t i = 0; i < mib.size(); ++i) mib[i] = static_cast<char>(i * 131 + i / 4096);
  std::string lastChanged = mib, firstChanged = mib;
  lastChanged.back() ^= 1;
  firstChanged.front() ^= 1;
  const struct {
    std::string content, describedAs, message;
  } cases[] = {{"abc", "abc", ""},
               {"ab", "abc", kSize},
               {"abcd", "abc", kSize},
               {"", "a", kSize},
               {"abd", "abc", kDigest},
               {mib, mib, ""},
               {mib.substr(1), mib.substr(1), ""},
               {lastChanged, mib, kDigest},
               {firstChanged, mib, kDigest}};
  const auto descriptors = [] {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(begin(fds), end(fds));
  };
  for (const auto& c : cases) {
    testing::writeFile(folder / "p.dmg", c.content);
    const auto before = descriptors();
    EXPECT_EQ(verify(describing(c.describedAs), folder / "p.dmg"), c.message) << c.content.size();
    EXPECT_EQ(descriptors(), before);
  }
  // The standard SHA-256 vector, against a reference that shares nothing with the code.
  testing::writeFile(folder / "p.dmg", "abc");
  EXPECT_EQ(verify(testing::withPackage(
                       testing::validProductionConfiguration(), 3,
                       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
                   folder / "p.dmg"),
            "");

  // A link is never the package, though its own size (that of "real.dmg") and target match.
  testing::writeFile(folder / "real.dmg", "8 bytes!");
  std::filesystem::create_symlink("real.dmg", folder / "link.dmg");
  EXPECT_EQ(verify(describing("8 bytes!"), folder / "link.dmg"), kSize);
  // A missing file is the system's own error, not the installer's.
  try {
    (void)verify(describing("8 bytes!"), folder / "missing.dmg");
    ADD_FAILURE() << "a missing file passed";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
  }
  ScopedEnvironment chinese{{"LANGUAGE", "zh_CN"}};
  EXPECT_EQ(verify(describing("abd"), folder / "p.dmg"), "安装包校验失败，请重新下载。");
}

}  // namespace
}  // namespace vexa
