#pragma once

#include <optional>
#include <string>
#include <string_view>

// Chooses between the Chinese and the English form of every text the installer shows.
//
// The Chinese form is always the first argument. The choice follows the user's first preferred
// language only (any tag beginning with "zh", in any case, is Chinese; everything else is English),
// and the preference list is read again on every call: nothing is cached, so a test or a user who
// changes the environment sees the change at once. Stateless; callable from any thread.
namespace vexa::InstallerCopy {

// The form for the current user's first preferred language.
[[nodiscard]] std::string text(std::string_view chinese, std::string_view english);

// The same choice for a given language tag; an absent tag gives English.
[[nodiscard]] std::string forLanguage(const std::optional<std::string>& language,
                                      std::string_view chinese, std::string_view english);

}  // namespace vexa::InstallerCopy
