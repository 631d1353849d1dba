#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/file_error.h"
#include "telemetry/installer_telemetry.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using testing::readFile;
using testing::writeFile;

const std::string kStoredId = "0f3c2a9e-5b1d-4c7e-9a2f-8d6b4e1c0a7f";
const std::string kStored = R"({"schema_version":1,"analytics_client_id":")" + kStoredId + "\"}";

class TelemetryIdentityTest : public ::testing::Test {
 protected:
  std::filesystem::path folder() const { return temporary_ / "Vexa" / "Attribution"; }
  std::filesystem::path file() const { return folder() / "identity.json"; }
  void expectFailure(std::error_code expected) const {
    try {
      (void)InstallerTelemetry::identity(folder(), "123.456");
      ADD_FAILURE() << "identity() succeeded";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), expected) << error.what();
    }
  }

  testing::TemporaryDirectory temporary_;
};

// A malformed campaign identifier is left out of the record.
TEST_F(TelemetryIdentityTest, FirstRun_CreatesPrivateRecordThenReadsItBack) {
  const TelemetryIdentity identity = InstallerTelemetry::identity(folder(), "1.2.3");

  EXPECT_EQ(
      nlohmann::json::parse(readFile(file())),
      (nlohmann::json{{"schema_version", 1}, {"analytics_client_id", identity.analyticsClientId}}));
  EXPECT_EQ(testing::permissionBits(file()), 0600u);
  // Read back, so a valid record and no lock file left behind.
  EXPECT_EQ(InstallerTelemetry::identity(folder(), std::nullopt), identity);
}

TEST_F(TelemetryIdentityTest, StoredCampaign_WinsWithoutRewrite_MissingOneIsAdded) {
  writeFile(file(), kStored);
  const TelemetryIdentity expected{kStoredId, "42.7"};
  EXPECT_EQ(InstallerTelemetry::identity(folder(), "42.7"), expected);
  const std::string content = readFile(file());
  EXPECT_EQ(InstallerTelemetry::identity(folder(), "789.1"), expected);
  EXPECT_EQ(readFile(file()), content);
}

TEST_F(TelemetryIdentityTest, InvalidIdentityFile_FailsAndIsNeverRepaired) {
  for (const std::string& content :
       {kStored + std::string(4097 - kStored.size(), ' '), R"({"os":"",)" + kStored.substr(1)}) {
    writeFile(file(), content);
    expectFailure(platform::FileError::fileReadCorruptFile);
    EXPECT_EQ(readFile(file()), content);
  }
  // The size limit itself is allowed.
  writeFile(file(), kStored + std::string(4096 - kStored.size(), ' '));
  EXPECT_EQ(InstallerTelemetry::identity(folder(), std::nullopt).analyticsClientId, kStoredId);
}

// A link to a record is no identity file and is never replaced, but a link to nothing is: the new
// record takes the link's place, never its target.
TEST_F(TelemetryIdentityTest, IdentityFileOfAnotherKind_FailsOrIsReplacedAsStated) {
  namespace fs = std::filesystem;
  writeFile(temporary_ / "record.json", kStored);
  fs::create_directories(folder());
  fs::create_symlink(temporary_ / "record.json", file());
  expectFailure(platform::FileError::fileReadCorruptFile);
  EXPECT_TRUE(fs::is_symlink(file()));

  fs::remove(file());
  fs::create_symlink(temporary_ / "nowhere", file());
  EXPECT_NO_THROW((void)InstallerTelemetry::identity(folder(), {}));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file())));
  EXPECT_FALSE(fs::exists(temporary_ / "nowhere") || fs::exists(folder() / "identity.lock"));
}

TEST_F(TelemetryIdentityTest, StaleLock_FailsWithoutTouchingIdentityAndStays) {
  writeFile(file(), kStored);
  writeFile(folder() / "identity.lock", "");
  expectFailure(platform::FileError::fileLocking);
  EXPECT_EQ(readFile(file()), kStored);
  EXPECT_TRUE(std::filesystem::exists(folder() / "identity.lock"));
}

// A link above the folder: nothing may be created behind it.
TEST_F(TelemetryIdentityTest, FolderThroughSymbolicLink_FailsWithoutWriting) {
  std::filesystem::create_directories(temporary_ / "real");
  std::filesystem::create_directory_symlink(temporary_ / "real", folder().parent_path());
  expectFailure(platform::FileError::fileReadNoPermission);
  EXPECT_TRUE(std::filesystem::is_empty(temporary_ / "real"));
}

}  // namespace
}  // namespace vexa
