#include "platform/preferred_languages.h"

#include <cstdlib>
#include <string_view>

namespace vexa::platform {
namespace {

// "zh_CN.UTF-8@euro" -> "zh-CN"; "C" / "POSIX" / "" -> "".
std::string tagFromLocaleName(std::string_view name) {
  name = name.substr(0, name.find_first_of(".@"));
  if (name == "C" || name == "POSIX") return {};
  std::string tag(name);
  for (char& c : tag) {
    if (c == '_') c = '-';
  }
  return tag;
}

const char* nonEmptyVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::vector<std::string> preferredLanguages() {
  std::vector<std::string> languages;
  if (const char* list = nonEmptyVariable("LANGUAGE")) {
    std::string_view rest(list);
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      if (std::string tag = tagFromLocaleName(rest.substr(0, colon)); !tag.empty()) {
        languages.push_back(std::move(tag));
      }
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
    return languages;
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (const char* locale = nonEmptyVariable(name)) {
      if (std::string tag = tagFromLocaleName(locale); !tag.empty())
        languages.push_back(std::move(tag));
      break;
    }
  }
  return languages;
}

}  // namespace vexa::platform
