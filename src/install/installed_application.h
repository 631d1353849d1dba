#pragma once

#include <filesystem>

#include "install/installed_application_version.h"

namespace vexa {

// A copy of the product found at the install target. Immutable value.
struct InstalledApplication {
  std::filesystem::path url;
  InstalledApplicationVersion version;
};

}  // namespace vexa
