#pragma once

#include <iosfwd>
#include <string>

namespace vexa::platform {

class GuiApplication;

// Shows one modal alert with a title, an informative text and a single default button, and
// returns when the user dismisses it. Main thread only.
class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  virtual void present(const std::string& title, const std::string& informativeText) = 0;
};

// The real alert: a QMessageBox whose window title and main text are the title. Where no display
// can be opened it writes the title and the text, one line each, to `fallback` (standard error)
// instead, so a failure is never silent and never a crash.
class SystemAlertPresenter final : public AlertPresenter {
 public:
  SystemAlertPresenter(GuiApplication& gui, std::ostream& fallback);
  void present(const std::string& title, const std::string& informativeText) override;

 private:
  GuiApplication& gui_;
  std::ostream& fallback_;
};

}  // namespace vexa::platform
