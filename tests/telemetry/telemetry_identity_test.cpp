#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "platform/file_error.h"
#include "telemetry/installer_telemetry.h"
#include "tests/support/temporary_directory.h"

namespace vexa {
namespace {

using testing::permissionBits;
using testing::readFile;
using testing::writeFile;

constexpr const char* kStoredId = "0f3c2a9e-5b1d-4c7e-9a2f-8d6b4e1c0a7f";

class TelemetryIdentityTest : public ::testing::Test {
 protected:
  std::filesystem::path folder() const { return temporary_ / "Vexa" / "Attribution"; }
  std::filesystem::path identityFile() const { return folder() / "identity.json"; }
  std::filesystem::path lockFile() const { return folder() / "identity.lock"; }
  nlohmann::json stored() const { return nlohmann::json::parse(readFile(identityFile())); }
  void store(const std::string& content) const {
    std::filesystem::create_directories(folder());
    writeFile(identityFile(), content);
  }
  static ino_t inode(const std::filesystem::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0);
    return status.st_ino;
  }
  // Expects identity() to fail with `expected`, leaving no lock file behind.
  void expectFailure(const std::optional<std::string>& cid, platform::FileError expected) const {
    try {
      (void)InstallerTelemetry::identity(folder(), cid);
      ADD_FAILURE() << "identity() succeeded";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), make_error_code(expected)) << error.what();
    }
  }

  testing::TemporaryDirectory temporary_;
};

TEST_F(TelemetryIdentityTest, FirstRun_CreatesPrivateTwoMemberRecord) {
  const TelemetryIdentity identity = InstallerTelemetry::identity(folder(), std::nullopt);

  const nlohmann::json record = stored();
  EXPECT_EQ(record.size(), 2u);
  EXPECT_EQ(record["schema_version"], 1);
  EXPECT_EQ(record["analytics_client_id"], identity.analyticsClientId);
  EXPECT_TRUE(TelemetryIdentity::isClientIdentifier(identity.analyticsClientId)) << identity.analyticsClientId;
  EXPECT_EQ(identity.attributionCid, std::nullopt);
  EXPECT_EQ(permissionBits(folder()), 0700u);
  EXPECT_EQ(permissionBits(temporary_ / "Vexa"), 0700u);
  EXPECT_EQ(permissionBits(identityFile()), 0600u);
  EXPECT_FALSE(std::filesystem::exists(lockFile()));

  // Later calls read the same identity back.
  EXPECT_EQ(InstallerTelemetry::identity(folder(), std::nullopt), identity);
}

TEST_F(TelemetryIdentityTest, CampaignIdentifier_StoredOnlyWhenWellFormed) {
  const struct {
    std::optional<std::string> cid;
    bool stored;
  } cases[] = {
      {"123.456", true},
      {std::string(18, '1') + "." + std::string(17, '2'), true},  // 36 characters
      {std::string(18, '1') + "." + std::string(18, '2'), false},  // 37 characters
      {"123456", false},
      {"1.2.3", false},
      {"12a.4", false},
      {"123.456\n", false},
      {" 123.456", false},
      {".5", false},
      {"", false},
      {std::nullopt, false},
  };
  int index = 0;
  for (const auto& [cid, expectStored] : cases) {
    SCOPED_TRACE(cid.value_or("<none>"));
    const std::filesystem::path own = temporary_ / std::to_string(index++);
    const TelemetryIdentity identity = InstallerTelemetry::identity(own, cid);
    const nlohmann::json record = nlohmann::json::parse(readFile(own / "identity.json"));
    EXPECT_EQ(record.size(), expectStored ? 3u : 2u);
    EXPECT_EQ(identity.attributionCid.has_value(), expectStored);
    if (expectStored) {
      EXPECT_EQ(record["attribution_cid"], *cid);
    }
  }
}

TEST_F(TelemetryIdentityTest, FirstStoredCampaignWins_WithoutRewrite) {
  const TelemetryIdentity first = InstallerTelemetry::identity(folder(), "123.456");
  const std::string content = readFile(identityFile());
  const ino_t before = inode(identityFile());

  const TelemetryIdentity later = InstallerTelemetry::identity(folder(), "789.1");

  EXPECT_EQ(later, first);
  EXPECT_EQ(later.attributionCid, "123.456");
  EXPECT_EQ(readFile(identityFile()), content);
  EXPECT_EQ(inode(identityFile()), before);  // an atomic rewrite would have a new inode
}

TEST_F(TelemetryIdentityTest, CampaignAddedLater_KeepsClientIdentifier) {
  store(std::string(R"({"schema_version":1,"analytics_client_id":")") + kStoredId + "\"}");

  const TelemetryIdentity identity = InstallerTelemetry::identity(folder(), "42.7");

  EXPECT_EQ(identity.analyticsClientId, kStoredId);
  EXPECT_EQ(stored()["analytics_client_id"], kStoredId);
  EXPECT_EQ(stored()["attribution_cid"], "42.7");
  EXPECT_EQ(permissionBits(identityFile()), 0600u);
}

TEST_F(TelemetryIdentityTest, InvalidIdentityFile_FailsAndIsNeverRepaired) {
  const std::string id = kStoredId;
  const std::string padded = R"({"schema_version":1,"analytics_client_id":")" + id + "\"}";
  const struct {
    const char* name;
    std::string content;
  } cases[] = {
      {"4097 bytes", padded + std::string(4097 - padded.size(), ' ')},
      {"extra member", R"({"schema_version":1,"analytics_client_id":")" + id + R"(","os":"macos"})"},
      {"schema 2", R"({"schema_version":2,"analytics_client_id":")" + id + "\"}"},
      {"schema as text", R"({"schema_version":"1","analytics_client_id":")" + id + "\"}"},
      {"schema as real", R"({"schema_version":1.0,"analytics_client_id":")" + id + "\"}"},
      {"no schema", R"({"analytics_client_id":")" + id + "\"}"},
      {"no client", R"({"schema_version":1})"},
      {"upper-case client", R"({"schema_version":1,"analytics_client_id":"0F3C2A9E-5B1D-4C7E-9A2F-8D6B4E1C0A7F"})"},
      {"version 1 client", R"({"schema_version":1,"analytics_client_id":"0f3c2a9e-5b1d-1c7e-9a2f-8d6b4e1c0a7f"})"},
      {"client with line feed", R"({"schema_version":1,"analytics_client_id":")" + id + "\\n\"}"},
      {"bad stored campaign", R"({"schema_version":1,"analytics_client_id":")" + id + R"(","attribution_cid":"12"})"},
      {"campaign as number", R"({"schema_version":1,"analytics_client_id":")" + id + R"(","attribution_cid":1.5})"},
      {"empty object", "{}"},
      {"array", "[1]"},
      {"not JSON", "schema_version=1"},
      {"empty file", ""},
  };
  for (const auto& [name, content] : cases) {
    SCOPED_TRACE(name);
    store(content);
    expectFailure("123.456", platform::FileError::fileReadCorruptFile);
    expectFailure(std::nullopt, platform::FileError::fileReadCorruptFile);
    EXPECT_EQ(readFile(identityFile()), content);
    EXPECT_FALSE(std::filesystem::exists(lockFile()));
  }

  // The size limit is inclusive.
  store(padded + std::string(4096 - padded.size(), ' '));
  EXPECT_EQ(InstallerTelemetry::identity(folder(), std::nullopt).analyticsClientId, id);
}

TEST_F(TelemetryIdentityTest, IdentityThatIsNotARegularFile_Fails) {
  const std::filesystem::path elsewhere = temporary_ / "elsewhere.json";
  writeFile(elsewhere, std::string(R"({"schema_version":1,"analytics_client_id":")") + kStoredId + "\"}");
  std::filesystem::create_directories(folder());
  std::filesystem::create_symlink(elsewhere, identityFile());
  expectFailure(std::nullopt, platform::FileError::fileReadCorruptFile);

  std::filesystem::remove(identityFile());
  std::filesystem::create_directory(identityFile());
  expectFailure(std::nullopt, platform::FileError::fileReadCorruptFile);
  EXPECT_FALSE(std::filesystem::exists(lockFile()));
}

TEST_F(TelemetryIdentityTest, StaleLock_FailsWithoutTouchingIdentityAndStays) {
  // Given a lock left behind by a crashed process, with and without an identity file.
  std::filesystem::create_directories(folder());
  writeFile(lockFile(), "");
  expectFailure("123.456", platform::FileError::fileLocking);
  EXPECT_FALSE(std::filesystem::exists(identityFile()));

  const std::string content = std::string(R"({"schema_version":1,"analytics_client_id":")") + kStoredId + "\"}";
  writeFile(identityFile(), content);
  expectFailure("123.456", platform::FileError::fileLocking);
  EXPECT_EQ(readFile(identityFile()), content);
  EXPECT_TRUE(std::filesystem::exists(lockFile()));
}

TEST_F(TelemetryIdentityTest, FolderThroughSymbolicLink_FailsWithoutWriting) {
  const std::filesystem::path real = temporary_ / "real";
  std::filesystem::create_directories(real);
  std::filesystem::create_directories(folder().parent_path());
  std::filesystem::create_directory_symlink(real, folder());
  expectFailure(std::nullopt, platform::FileError::fileReadNoPermission);
  EXPECT_TRUE(std::filesystem::is_empty(real));

  // A link further up the path counts as well.
  const std::filesystem::path viaParent = temporary_ / "linked" / "Attribution";
  std::filesystem::create_directory_symlink(real, temporary_ / "linked");
  EXPECT_THROW((void)InstallerTelemetry::identity(viaParent, std::nullopt), std::system_error);
  EXPECT_FALSE(std::filesystem::exists(real / "Attribution" / "identity.json"));
}

}  // namespace
}  // namespace vexa
