#pragma once

// Whether standard error is a terminal: progress drawn in place with carriage returns belongs on
// one, never in a log or a pipe. Any thread.
namespace vexa::platform {

[[nodiscard]] bool standardErrorIsTerminal();

}  // namespace vexa::platform
