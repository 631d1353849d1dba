// The platform wall, checked: every #include under src/ against what its folder may include. Only
// src/platform/ reaches the operating system and the libraries; the logic folders see the standard
// library, the platform's std-typed headers and the folders below them; the window sees the flow
// only through its screen interface.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// Per folder: the project headers it may include (folder prefixes, or single headers) and the
// library header prefixes; "*" allows everything. The standard library is always allowed.
// nlohmann/json is a header-only data library without OS access: decoding stays in the logic.
const std::map<std::string, std::pair<std::string, std::string>> kRules = {
    {"platform", {"platform/", "*"}},
    {"config", {"config/ platform/", "nlohmann/"}},
    {"download", {"download/ config/ platform/", ""}},
    {"install", {"install/ config/ platform/", ""}},
    {"telemetry", {"telemetry/ config/ platform/", "nlohmann/"}},
    {"flow", {"flow/ config/ download/ install/ telemetry/ platform/", ""}},
    {"ui", {"ui/ config/ platform/ flow/installer_screens.h", "Q"}},
    {"release", {"release/ config/ download/ install/ platform/", "nlohmann/"}},
    {"app", {"*", "*"}},
};

bool startsWithOneOf(const std::string& name, const std::string& prefixes) {
  std::istringstream words(prefixes);
  for (std::string prefix; words >> prefix;) {
    if (prefix == "*" || name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// `include` is what follows #include: a quoted project header or a bracketed system one. Standard
// headers are the lower-case names without an extension or a folder.
bool allowed(const std::string& folder, const std::string& include) {
  const auto rule = kRules.find(folder);
  if (rule == kRules.end() || include.size() < 3) return false;
  const std::string name = include.substr(1, include.find_first_of(">\"", 1) - 1);
  if (include[0] == '"') return startsWithOneOf(name, rule->second.first);
  return name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") == std::string::npos ||
         startsWithOneOf(name, rule->second.second);
}

// What the tree holds must be allowed; the first checks show that the table refuses what crosses
// the wall, so that the walk can fail.
TEST(IncludeRules, EverySourceFile_IncludesOnlyWhatItsFolderMay) {
  EXPECT_FALSE(allowed("download", "<curl/curl.h>"));
  EXPECT_FALSE(allowed("config", "\"download/package_download.h\""));
  EXPECT_FALSE(allowed("ui", "\"flow/installer_flow.h\""));
  EXPECT_FALSE(allowed("release", "\"flow/installer_flow.h\""));
  EXPECT_FALSE(allowed("release", "\"ui/installer_window.h\""));
  const fs::path source = fs::path(VEXA_SOURCE_DIR) / "src";
  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(source)) {
    if (!entry.is_regular_file()) continue;
    const fs::path relative = fs::relative(entry.path(), source);
    std::ifstream in(entry.path());
    ++files;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("#include", 0) != 0) continue;
      const auto open = line.find_first_of("<\"");
      EXPECT_TRUE(open != std::string::npos &&
                  allowed(relative.begin()->string(), line.substr(open)))
          << relative.string() << " may not " << line;
      // The installer never depends on the publisher's tool, not even from the entry, which may
      // include everything else.
      EXPECT_TRUE(*relative.begin() == "release" || line.find("\"release/") == std::string::npos)
          << relative.string() << " may not " << line;
    }
  }
  EXPECT_GT(files, 50);
}

}  // namespace
