#include "config/installer_failure.h"

#include <utility>

namespace vexa {

InstallerFailure::InstallerFailure(std::string message, InstallerFailureReason reason)
    : message_(std::move(message)), reason_(reason) {}

}  // namespace vexa
