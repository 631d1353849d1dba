#include "config/installer_copy.h"

#include <algorithm>
#include <cctype>

#include "platform/preferred_languages.h"

namespace vexa::InstallerCopy {

std::string forLanguage(const std::optional<std::string>& language, std::string_view chinese,
                        std::string_view english) {
  if (!language) return std::string(english);
  std::string lower = *language;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::string(lower.starts_with("zh") ? chinese : english);
}

std::string text(std::string_view chinese, std::string_view english) {
  const std::vector<std::string> languages = platform::preferredLanguages();
  if (languages.empty()) return std::string(english);
  return forLanguage(languages.front(), chinese, english);
}

}  // namespace vexa::InstallerCopy
