#include "telemetry/telemetry_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <system_error>

#include "platform/atomic_file.h"
#include "platform/file_error.h"
#include "platform/path_safety.h"
#include "platform/private_directory.h"
#include "platform/random_uuid.h"
#include "platform/unique_fd.h"
#include "telemetry/installer_telemetry.h"

namespace vexa {
namespace {

constexpr const char* kIdentityFile = "identity.json";
constexpr const char* kLockFile = "identity.lock";
constexpr std::size_t kMaximumIdentityBytes = 4096;
constexpr std::size_t kMaximumCampaignLength = 36;

[[noreturn]] void throwFileError(platform::FileError error, const std::filesystem::path& path) {
  throw std::system_error(error, path.string());
}

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// The cross-process identity lock: a file that exists only while one process works on the
// identity. Another process finding it does not wait; it fails. The destructor closes and removes
// the file, so every way out of identity() releases it.
class IdentityLock {
 public:
  explicit IdentityLock(std::filesystem::path path) : path_(std::move(path)) {
    fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd_) throwFileError(platform::FileError::fileLocking, path_);
  }
  ~IdentityLock() {
    fd_.reset();
    ::unlink(path_.c_str());
  }
  IdentityLock(const IdentityLock&) = delete;
  IdentityLock& operator=(const IdentityLock&) = delete;

 private:
  std::filesystem::path path_;
  platform::UniqueFd fd_;
};

// The stored record, or nothing when there is no identity file yet. Every content rule is checked;
// any violation is fileReadCorruptFile.
std::optional<TelemetryIdentity> readIdentity(const std::filesystem::path& file) {
  struct stat status {};
  if (::lstat(file.c_str(), &status) != 0) {
    if (errno == ENOENT) return std::nullopt;
    throwErrno("cannot examine " + file.string());
  }
  // A link that leads nowhere is no identity file: a new record is written in its place, and the
  // atomic rename replaces the link itself, never what it names. A link to an existing item is not
  // a regular file and fails below like any other kind.
  struct stat target {};
  if (S_ISLNK(status.st_mode) && ::stat(file.c_str(), &target) != 0) return std::nullopt;
  if (!S_ISREG(status.st_mode) || status.st_size < 0 ||
      static_cast<std::uintmax_t>(status.st_size) > kMaximumIdentityBytes) {
    throwFileError(platform::FileError::fileReadCorruptFile, file);
  }

  platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) throwErrno("cannot open " + file.string());
  // One byte more than allowed, so a file that grew since lstat is noticed.
  std::string text(kMaximumIdentityBytes + 1, '\0');
  std::size_t length = 0;
  while (length < text.size()) {
    ssize_t count = ::read(fd.get(), text.data() + length, text.size() - length);
    if (count < 0) {
      if (errno == EINTR) continue;
      throwErrno("cannot read " + file.string());
    }
    if (count == 0) break;
    length += static_cast<std::size_t>(count);
  }
  text.resize(length);

  std::optional<TelemetryIdentity> identity = TelemetryIdentity::parse(text);
  if (!identity) throwFileError(platform::FileError::fileReadCorruptFile, file);
  return identity;
}

void writeIdentity(const std::filesystem::path& file, const TelemetryIdentity& identity) {
  nlohmann::json record = {{"schema_version", 1},
                           {"analytics_client_id", identity.analyticsClientId}};
  if (identity.attributionCid) record["attribution_cid"] = *identity.attributionCid;
  platform::writeFileAtomically(file, record.dump(), 0600);
}

}  // namespace

// Both checks are whole-text matches written out by hand: a pattern engine whose "$" also matches
// before a final line feed would let "123.456\n" through.
bool TelemetryIdentity::isClientIdentifier(std::string_view text) {
  // [0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}
  constexpr std::string_view shape = "xxxxxxxx-xxxx-4xxx-vxxx-xxxxxxxxxxxx";
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const char c = text[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    switch (shape[i]) {
      case 'x':
        if (!hex) return false;
        break;
      case 'v':
        if (c != '8' && c != '9' && c != 'a' && c != 'b') return false;
        break;
      default:
        if (c != shape[i]) return false;
    }
  }
  return true;
}

std::optional<TelemetryIdentity> TelemetryIdentity::parse(std::string_view bytes) {
  if (bytes.size() > kMaximumIdentityBytes) return std::nullopt;
  const nlohmann::json record = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  if (!record.is_object() || record.empty()) return std::nullopt;

  const auto schema = record.find("schema_version");
  const auto client = record.find("analytics_client_id");
  if (schema == record.end() || !schema->is_number_integer() || *schema != 1 ||
      client == record.end() || !client->is_string() ||
      !isClientIdentifier(client->get_ref<const std::string&>())) {
    return std::nullopt;
  }
  for (const auto& [name, value] : record.items()) {
    if (name != "schema_version" && name != "analytics_client_id" && name != "attribution_cid")
      return std::nullopt;
  }
  TelemetryIdentity identity{client->get<std::string>(), std::nullopt};
  if (const auto cid = record.find("attribution_cid"); cid != record.end()) {
    if (!cid->is_string() || !isCampaignIdentifier(cid->get_ref<const std::string&>()))
      return std::nullopt;
    identity.attributionCid = cid->get<std::string>();
  }
  return identity;
}

bool TelemetryIdentity::isCampaignIdentifier(std::string_view text) {
  // [0-9]+\.[0-9]+, at most 36 characters
  const std::size_t dot = text.find('.');
  const auto digits = [](std::string_view part) {
    return !part.empty() &&
           std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  return text.size() <= kMaximumCampaignLength && dot != std::string_view::npos &&
         digits(text.substr(0, dot)) && digits(text.substr(dot + 1));
}

TelemetryIdentity InstallerTelemetry::identity(const std::filesystem::path& folder,
                                               const std::optional<std::string>& cid) {
  // Judged before anything is created, so no folder is ever made behind a link; the creation
  // itself follows no link either.
  if (!platform::resolvesToItself(folder))
    throwFileError(platform::FileError::fileReadNoPermission, folder);
  platform::createPrivateDirectories(folder);

  const IdentityLock lock(folder / kLockFile);
  const std::filesystem::path file = folder / kIdentityFile;
  const bool usableCid = cid.has_value() && TelemetryIdentity::isCampaignIdentifier(*cid);

  std::optional<TelemetryIdentity> stored = readIdentity(file);
  if (stored && (stored->attributionCid || !usableCid)) return *stored;  // nothing to change

  TelemetryIdentity identity = stored.value_or(TelemetryIdentity{});
  if (!stored) {
    identity.analyticsClientId = platform::randomUuid();
    std::transform(identity.analyticsClientId.begin(), identity.analyticsClientId.end(),
                   identity.analyticsClientId.begin(),
                   [](unsigned char c) { return std::tolower(c); });
  }
  if (usableCid) identity.attributionCid = *cid;
  writeIdentity(file, identity);
  return identity;
}

}  // namespace vexa
