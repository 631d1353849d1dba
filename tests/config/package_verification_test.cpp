#include <gtest/gtest.h>

#include "config/install_configuration.h"
#include "config/installer_failure.h"
#include "config/package_verification.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

const std::string kSize = "The installer size does not match. Download it again.";
const std::string kDigest = "Installer verification failed. Download it again.";

// The message verifyDownload() fails with when `file` is checked against a configuration that
// describes `content`, or "" when it passes.
std::string verify(const std::string& content, const std::filesystem::path& file) {
  const InstallConfiguration configuration = testing::withPackage(
      testing::validProductionConfiguration(), static_cast<std::int64_t>(content.size()),
      testing::referenceSha256(content));
  return testing::failureMessage<InstallerFailure>([&] { verifyDownload(configuration, file); });
}

TEST(PackageVerificationTest, Verify_ComparesSizeThenDigestAndLeavesNothingOpen) {
  testing::ScopedEnvironment english{{"LANGUAGE", "en"}, {"LC_ALL", std::nullopt}};
  testing::TemporaryDirectory folder;
  std::string mib((1 << 20) + 1, '\0');  // one byte beyond the first full read
  for (std::size_t i = 0; i < mib.size(); ++i) mib[i] = static_cast<char>(i * 131 + i / 4096);
  std::string lastChanged = mib;
  lastChanged.back() ^= 1;
  const struct {
    std::string content, describedAs, message;
  } cases[] = {{"ab", "abc", kSize},
               {mib, mib, ""},
               {lastChanged, mib, kDigest},
               {mib.substr(1), mib.substr(1), ""}};
  // Descriptors, and threads: the file is read ahead on a thread of its own, gone on return. (A
  // sanitizer's runtime starts a helper thread with the first thread: one verification first.)
  const auto entries = [](const char* folder) {
    return std::distance(std::filesystem::directory_iterator(folder), {});
  };
  testing::writeFile(folder / "p.dmg", mib);
  EXPECT_EQ(verify(mib, folder / "p.dmg"), "");
  for (const auto& c : cases) {
    testing::writeFile(folder / "p.dmg", c.content);
    const auto descriptors = entries("/proc/self/fd"), threads = entries("/proc/self/task");
    EXPECT_EQ(verify(c.describedAs, folder / "p.dmg"), c.message) << c.content.size();
    EXPECT_EQ(entries("/proc/self/fd"), descriptors);
    EXPECT_EQ(entries("/proc/self/task"), threads);
  }

  // A link is never the package, though its own size (that of "real.dmg") and target match.
  testing::writeFile(folder / "real.dmg", "8 bytes!");
  std::filesystem::create_symlink("real.dmg", folder / "link.dmg");
  EXPECT_EQ(verify("8 bytes!", folder / "link.dmg"), kSize);
}

}  // namespace
}  // namespace vexa
