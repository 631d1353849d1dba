#pragma once

#include <stdexcept>
#include <string>

namespace vexa {

// Why the release tool will not do what it was asked: one English sentence that names the member
// or the check that failed and what was expected. Thrown before anything is written; what() is the
// message. Immutable.
class ReleaseRefusal : public std::runtime_error {
 public:
  explicit ReleaseRefusal(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace vexa
