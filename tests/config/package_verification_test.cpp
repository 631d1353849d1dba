#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

#include "config/installer_failure.h"
#include "config/package_verification.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using testing::ScopedEnvironment;
using testing::TemporaryDirectory;

const std::string kSizeMessage = "The installer size does not match. Download it again.";
const std::string kDigestMessage = "Installer verification failed. Download it again.";

std::string patterned(std::size_t size) {
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    content[i] = static_cast<char>((i * 131 + i / 4096) & 0xff);
  return content;
}

std::size_t openDescriptorCount() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

struct VerificationCase {
  const char* name;
  std::string content;        // what is on disk
  std::string describedAs;    // what the configuration describes (size and digest)
  std::string expectedError;  // empty: verification passes
};

class PackageVerificationTest : public ::testing::TestWithParam<VerificationCase> {
 protected:
  ScopedEnvironment english_{{"LANGUAGE", "en"}, {"LC_ALL", std::nullopt}};
  TemporaryDirectory folder_;
};

TEST_P(PackageVerificationTest, Verify_ComparesSizeThenDigest) {
  const VerificationCase& given = GetParam();
  const auto package = folder_ / "package.dmg";
  testing::writeFile(package, given.content);
  const InstallConfiguration configuration = testing::withPackage(
      testing::validProductionConfiguration(), static_cast<std::int64_t>(given.describedAs.size()),
      testing::referenceSha256(given.describedAs));
  const std::size_t descriptors = openDescriptorCount();

  if (given.expectedError.empty()) {
    EXPECT_NO_THROW(verifyDownload(configuration, package));
  } else {
    try {
      verifyDownload(configuration, package);
      ADD_FAILURE() << "verification passed";
    } catch (const InstallerFailure& failure) {
      EXPECT_EQ(failure.what(), given.expectedError);
      EXPECT_EQ(failure.reason(), InstallerFailureReason::general);
    }
  }
  EXPECT_EQ(openDescriptorCount(), descriptors) << "the package file was left open";
}

const std::string kMiB = patterned(1 << 20);
const std::string kMiBPlusOne = patterned((1 << 20) + 1);

std::string withByteChanged(std::string content, std::size_t at) {
  content[at] = static_cast<char>(content[at] ^ 0x01);
  return content;
}

INSTANTIATE_TEST_SUITE_P(
    Packages, PackageVerificationTest,
    ::testing::Values(VerificationCase{"Exact", "abc", "abc", ""},
                      VerificationCase{"OneByteShort", "ab", "abc", kSizeMessage},
                      VerificationCase{"OneByteLong", "abcd", "abc", kSizeMessage},
                      VerificationCase{"Empty", "", "a", kSizeMessage},
                      VerificationCase{"OneByteChanged", "abd", "abc", kDigestMessage},
                      VerificationCase{"ExactlyOneRead", kMiB, kMiB, ""},
                      VerificationCase{"OneByteBeyondOneRead", kMiBPlusOne, kMiBPlusOne, ""},
                      // the byte after the first full read must be hashed too
                      VerificationCase{"LastByteChanged", withByteChanged(kMiBPlusOne, 1 << 20),
                                       kMiBPlusOne, kDigestMessage},
                      VerificationCase{"FirstByteChanged", withByteChanged(kMiB, 0), kMiB,
                                       kDigestMessage}),
    [](const ::testing::TestParamInfo<VerificationCase>& info) { return info.param.name; });

TEST(PackageVerification, KnownDigest_MatchesTheStandardVector) {
  TemporaryDirectory folder;
  testing::writeFile(folder / "abc.dmg", "abc");
  const auto configuration =
      testing::withPackage(testing::validProductionConfiguration(), 3,
                           "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_NO_THROW(verifyDownload(configuration, folder / "abc.dmg"));
}

TEST(PackageVerification, AnythingButARegularFile_IsRefused) {
  ScopedEnvironment english{{"LANGUAGE", "en"}, {"LC_ALL", std::nullopt}};
  TemporaryDirectory folder;
  // The package's length equals that of the link text "real.dmg", so the link's own size matches.
  const std::string content = "8 bytes!";
  testing::writeFile(folder / "real.dmg", content);
  const auto configuration = testing::withPackage(testing::validProductionConfiguration(), 8,
                                                  testing::referenceSha256(content));

  // A missing file is the system's own error, not the installer's.
  try {
    verifyDownload(configuration, folder / "missing.dmg");
    ADD_FAILURE() << "a missing file passed";
  } catch (const InstallerFailure&) {
    ADD_FAILURE() << "a missing file gave an installer failure";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
  }

  // A link is never the package, whatever its own size and the bytes it leads to.
  std::filesystem::create_symlink("real.dmg", folder / "link.dmg");
  try {
    verifyDownload(configuration, folder / "link.dmg");
    ADD_FAILURE() << "a link passed";
  } catch (const InstallerFailure& failure) {
    EXPECT_EQ(failure.what(), kSizeMessage);
  }
}

TEST(PackageVerification, Messages_FollowThePreferredLanguage) {
  ScopedEnvironment chinese{{"LANGUAGE", "zh_CN"}, {"LC_ALL", std::nullopt}};
  TemporaryDirectory folder;
  testing::writeFile(folder / "p.dmg", "abd");
  const auto configuration = testing::withPackage(testing::validProductionConfiguration(), 3,
                                                  testing::referenceSha256("abc"));
  try {
    verifyDownload(configuration, folder / "p.dmg");
    ADD_FAILURE();
  } catch (const InstallerFailure& failure) {
    EXPECT_STREQ(failure.what(), "安装包校验失败，请重新下载。");
  }
}

}  // namespace
}  // namespace vexa
