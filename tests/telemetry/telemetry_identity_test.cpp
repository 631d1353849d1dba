#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

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
  nlohmann::json stored() const { return nlohmann::json::parse(readFile(file())); }
  void store(const std::string& content) const { writeFile(file(), content); }
  static ino_t inode(const std::filesystem::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_ino : 0;
  }
  void expectFailure(std::error_code expected,
                     const std::optional<std::string>& cid = "123.456") const {
    try {
      (void)InstallerTelemetry::identity(folder(), cid);
      ADD_FAILURE() << "identity() succeeded";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), expected) << error.what();
    }
  }

  testing::TemporaryDirectory temporary_;
};

TEST_F(TelemetryIdentityTest, FirstRun_CreatesPrivateRecordThenReadsItBack) {
  const TelemetryIdentity identity = InstallerTelemetry::identity(folder(), std::nullopt);

  EXPECT_EQ(stored(), (nlohmann::json{{"schema_version", 1},
                                      {"analytics_client_id", identity.analyticsClientId}}));
  EXPECT_TRUE(TelemetryIdentity::isClientIdentifier(identity.analyticsClientId))
      << identity.analyticsClientId;
  EXPECT_EQ(testing::permissionBits(temporary_ / "Vexa"), 0700u);
  EXPECT_EQ(testing::permissionBits(folder()), 0700u);
  EXPECT_EQ(testing::permissionBits(file()), 0600u);
  EXPECT_FALSE(std::filesystem::exists(folder() / "identity.lock"));
  EXPECT_EQ(InstallerTelemetry::identity(folder(), std::nullopt), identity);
}

TEST_F(TelemetryIdentityTest, CampaignIdentifier_StoredOnlyWhenWellFormed) {
  // Stored: 36 characters at most, digits, one dot inside.
  const std::pair<std::string, bool> cases[] = {
      {"123.456", true}, {"111111111111111111.22222222222222222", true},
      {"123456", false}, {"111111111111111111.222222222222222222", false},
      {"1.2.3", false},  {"12a.4", false},
      {".5", false},     {"123.456\n", false},
      {"", false}};
  int index = 0;
  for (const auto& [cid, expectStored] : cases) {
    SCOPED_TRACE(cid);
    const std::filesystem::path own = temporary_ / std::to_string(index++);
    EXPECT_EQ(InstallerTelemetry::identity(own, cid).attributionCid.has_value(), expectStored);
    const nlohmann::json record = nlohmann::json::parse(readFile(own / "identity.json"));
    EXPECT_EQ(record.size(), expectStored ? 3u : 2u);
    EXPECT_EQ(record.value("attribution_cid", cid), cid);
  }
}

TEST_F(TelemetryIdentityTest, StoredCampaign_WinsWithoutRewrite_MissingOneIsAdded) {
  std::filesystem::create_directories(folder());
  store(kStored);
  EXPECT_EQ(InstallerTelemetry::identity(folder(), "42.7"), (TelemetryIdentity{kStoredId, "42.7"}));
  const std::string content = readFile(file());
  const ino_t before = inode(file());

  EXPECT_EQ(InstallerTelemetry::identity(folder(), "789.1"),
            (TelemetryIdentity{kStoredId, "42.7"}));
  EXPECT_EQ(readFile(file()), content);
  EXPECT_EQ(inode(file()), before);  // an atomic rewrite would bring a new inode
}

TEST_F(TelemetryIdentityTest, InvalidIdentityFile_FailsAndIsNeverRepaired) {
  const std::string head = R"({"schema_version":1,"analytics_client_id":")";
  const std::string cases[] = {
      kStored + std::string(4097 - kStored.size(), ' '),
      head + kStoredId + R"(","os":"macos"})",
      R"({"schema_version":2,"analytics_client_id":")" + kStoredId + "\"}",
      R"({"schema_version":1.0,"analytics_client_id":")" + kStoredId + "\"}",
      head + "0F3C2A9E-5B1D-4C7E-9A2F-8D6B4E1C0A7F\"}",
      head + kStoredId + "\\n\"}",
      head + kStoredId + R"(","attribution_cid":"12"})",
      "{}",
      "schema_version=1",
  };
  std::filesystem::create_directories(folder());
  for (const std::string& content : cases) {
    SCOPED_TRACE(content.substr(0, 80));
    store(content);
    expectFailure(platform::FileError::fileReadCorruptFile);
    EXPECT_EQ(readFile(file()), content);
  }
  // The size limit itself is allowed.
  std::filesystem::remove(file());
  store(kStored + std::string(4096 - kStored.size(), ' '));
  EXPECT_EQ(InstallerTelemetry::identity(folder(), std::nullopt).analyticsClientId, kStoredId);
}

// Root reads a file whatever its mode, so there the call runs as an unprivileged user.
void withoutPrivileges(const std::function<void()>& call) {
  if (::geteuid() != 0) return call();
  ASSERT_EQ(::seteuid(65534), 0);
  call();
  ASSERT_EQ(::seteuid(0), 0);
}

TEST_F(TelemetryIdentityTest, IdentityFileOfAnotherKind_FailsOrIsReplacedAsStated) {
  namespace fs = std::filesystem;
  writeFile(temporary_ / "record.json", kStored);
  const struct {
    const char* name;
    std::function<void()> plant;
    std::optional<std::error_code> failure;  // nullopt: a new identity is written
  } cases[] = {
      {"folder", [&] { fs::create_directory(file()); }, platform::FileError::fileReadCorruptFile},
      {"link to a record", [&] { fs::create_symlink(temporary_ / "record.json", file()); },
       platform::FileError::fileReadCorruptFile},
      {"unreadable",
       [&] {
         store(kStored);
         fs::permissions(file(), fs::perms::none);
       },
       std::make_error_code(std::errc::permission_denied)},
      // A link to nothing is no identity: the new record replaces the link and never creates its
      // target.
      {"dangling link", [&] { fs::create_symlink(temporary_ / "nowhere", file()); }, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(temporary_ / "Vexa");
    fs::create_directories(folder());
    for (const fs::path& above : {temporary_.path(), folder().parent_path()})
      fs::permissions(above, fs::perms(0755));
    fs::permissions(folder(), fs::perms::all);
    c.plant();
    const fs::file_type kind =
        c.failure ? fs::symlink_status(file()).type() : fs::file_type::regular;
    withoutPrivileges([&] {
      if (c.failure) return expectFailure(*c.failure);
      EXPECT_NO_THROW((void)InstallerTelemetry::identity(folder(), {}));
    });
    EXPECT_EQ(fs::symlink_status(file()).type(), kind);
    EXPECT_FALSE(fs::exists(temporary_ / "nowhere") || fs::exists(folder() / "identity.lock"));
  }
}

TEST_F(TelemetryIdentityTest, StaleLock_FailsWithoutTouchingIdentityAndStays) {
  std::filesystem::create_directories(folder());
  writeFile(folder() / "identity.lock", "");
  expectFailure(platform::FileError::fileLocking);
  EXPECT_FALSE(std::filesystem::exists(file()));

  store(kStored);
  expectFailure(platform::FileError::fileLocking);
  EXPECT_EQ(readFile(file()), kStored);
  EXPECT_TRUE(std::filesystem::exists(folder() / "identity.lock"));
}

TEST_F(TelemetryIdentityTest, FolderThroughSymbolicLink_FailsWithoutWriting) {
  const std::filesystem::path real = temporary_ / "real";
  std::filesystem::create_directories(real);
  // The folder itself, or a parent of it (nothing may be created behind that link either).
  for (const std::filesystem::path& link : {folder(), folder().parent_path()}) {
    std::filesystem::create_directories(link.parent_path());
    std::filesystem::create_directory_symlink(real, link);
    expectFailure(platform::FileError::fileReadNoPermission);
    EXPECT_TRUE(std::filesystem::is_empty(real)) << link;
    std::filesystem::remove_all(temporary_ / "Vexa");  // a link is removed, never followed
  }
}

}  // namespace
}  // namespace vexa
