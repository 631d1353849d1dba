#pragma once

#include <cstdint>
#include <string>

namespace vexa::platform {

// A byte count as the file manager shows it ("file" count style): decimal units (1 KB = 1000
// bytes), "N bytes" below 1000, then KB with no fraction digits, MB with one and GB and larger
// with two, trailing fraction zeros dropped ("2 MB", "4.29 GB"). A value that rounds up to 1000 of
// a unit is shown in the next unit ("1 MB", not "1000 KB"). Negative counts keep their sign.
// The same text in every language. Pure; never throws beyond allocation.
[[nodiscard]] std::string formatByteCount(std::int64_t bytes);

}  // namespace vexa::platform
