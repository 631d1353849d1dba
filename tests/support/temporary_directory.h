#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace vexa::testing {

// A fresh private folder under the system temporary folder (links resolved, so paths inside it pass
// the path-safety rule), removed with everything in it when the object goes. Not copyable.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::filesystem::path operator/(const std::filesystem::path& child) const {
    return path_ / child;
  }

 private:
  std::filesystem::path path_;
};

// Sets (or, with nullopt, unsets) environment variables for the life of the object and restores
// the previous values afterwards. Tests only: the environment is process-wide.
class ScopedEnvironment {
 public:
  ScopedEnvironment(
      std::initializer_list<std::pair<const std::string, std::optional<std::string>>> values);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  void set(const std::string& name, const std::optional<std::string>& value);

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

// Writes `content` to `path` (created or truncated), creating missing parent folders.
void writeFile(const std::filesystem::path& path, std::string_view content);
// The whole content of `path`; throws std::system_error when it cannot be read.
[[nodiscard]] std::string readFile(const std::filesystem::path& path);
// The permission bits of `path` (without following a final link), e.g. 0700.
[[nodiscard]] unsigned permissionBits(const std::filesystem::path& path);

}  // namespace vexa::testing
