#include "tests/support/temporary_directory.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace vexa::testing {

TemporaryDirectory::TemporaryDirectory() {
  std::filesystem::path base = std::filesystem::canonical(std::filesystem::temp_directory_path());
  std::string pattern = (base / "vexa-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  namespace fs = std::filesystem;
  std::error_code error;
  // Tests make folders read-only on purpose; give write access back so removal succeeds.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, error);
  for (auto it = fs::recursive_directory_iterator(path_, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::remove_all(path_, error);
}

namespace {

void assign(const std::string& name, const std::optional<std::string>& value) {
  (void)(value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str()));
}

}  // namespace

ScopedEnvironment::ScopedEnvironment(
    std::initializer_list<std::pair<const std::string, std::optional<std::string>>> values) {
  for (const auto& [name, value] : values) set(name, value);
}

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& [name, value] : saved_) assign(name, value);
}

void ScopedEnvironment::set(const std::string& name, const std::optional<std::string>& value) {
  if (const char* previous = std::getenv(name.c_str()); !saved_.contains(name))
    saved_[name] = previous ? std::optional<std::string>(previous) : std::nullopt;
  assign(name, value);
}

void writeFile(const std::filesystem::path& path, std::string_view content) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::system_error(errno, std::generic_category(), "open " + path.string());
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::system_error(errno, std::generic_category(), "write " + path.string());
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::system_error(errno, std::generic_category(), "open " + path.string());
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

unsigned permissionBits(const std::filesystem::path& path) {
  return static_cast<unsigned>(std::filesystem::symlink_status(path).permissions()) & 07777;
}

}  // namespace vexa::testing
