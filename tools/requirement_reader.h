#pragma once

#include <string>

#include "seal.h"

namespace vexa::tools {

// Evaluates a designated requirement ("anchor apple generic and identifier \"X\" and
// certificate leaf[subject.OU] = \"T\"", with "and", "or" and parentheses) against a checked
// signature. The anchor clause holds for every checked signature (the chain ended at our anchor).
// Throws std::runtime_error for a requirement it cannot read.
[[nodiscard]] bool satisfiesRequirement(const std::string& requirement,
                                        const SignatureCheck& signature);

}  // namespace vexa::tools
