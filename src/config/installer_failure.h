#pragma once

#include <exception>
#include <string>

namespace vexa {

// How the window reacts to a failure: read it and retry (general), wait for the running product to
// quit (applicationRunning), or look at the installed copy again (newerApplicationInstalled).
enum class InstallerFailureReason {
  general,
  applicationRunning,
  newerApplicationInstalled,
};

// The installer's own error: a complete user-facing sentence, already in the user's language, and
// the reason that steers the flow. what() is exactly the message, with nothing appended, so every
// place that shows an error can show what() whatever the error's type.
//
// Immutable; safe to copy across threads (for example inside a std::exception_ptr).
class InstallerFailure : public std::exception {
 public:
  explicit InstallerFailure(std::string message,
                            InstallerFailureReason reason = InstallerFailureReason::general);

  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  [[nodiscard]] InstallerFailureReason reason() const noexcept { return reason_; }
  [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
  InstallerFailureReason reason_;
};

}  // namespace vexa
