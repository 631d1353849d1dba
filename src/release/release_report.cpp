#include "release/release_report.h"

#include <algorithm>

namespace vexa {

ReleaseReport::ReleaseReport(std::string command, bool json, Streams streams,
                             bool progressOnTerminal)
    : command_(std::move(command)),
      json_(json),
      streams_(streams),
      progressOnTerminal_(progressOnTerminal) {}

void ReleaseReport::pass(const std::string& name, const std::string& detail) {
  checks_.push_back({{"name", name}, {"ok", true}, {"detail", detail}});
  clearProgress();
  if (!json_) streams_.lines << "ok    " << name << ": " << detail << '\n' << std::flush;
}

void ReleaseReport::fail(const std::string& name, const std::string& detail) {
  failed_ = true;
  checks_.push_back({{"name", name}, {"ok", false}, {"detail", detail}});
  clearProgress();
  if (!json_) streams_.lines << "FAIL  " << name << ": " << detail << '\n' << std::flush;
}

bool ReleaseReport::anyFailed() const { return failed_; }

void ReleaseReport::set(const std::string& key, nlohmann::json value) {
  extra_[key] = std::move(value);
}

std::function<void(std::int64_t)> ReleaseReport::progress(const std::string& label,
                                                          std::int64_t total) {
  if (!progressOnTerminal_ || total <= 0) return [](std::int64_t) {};
  lastPercent_ = -1;
  return [this, label, total](std::int64_t done) {
    const int percent = static_cast<int>(std::clamp<std::int64_t>(done * 100 / total, 0, 100));
    if (percent == lastPercent_) return;  // redraw only when the figure changes
    lastPercent_ = percent;
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    streams_.progress << '\r' << label << " [" << std::string(filled, '#')
                      << std::string(kWidth - filled, ' ') << "] " << percent << '%' << std::flush;
    progressShown_ = true;
  };
}

void ReleaseReport::clearProgress() {
  if (!progressShown_) return;
  streams_.progress << "\r\033[K" << std::flush;
  progressShown_ = false;
}

int ReleaseReport::finish(const std::optional<std::string>& refusal, const std::string& success) {
  clearProgress();
  const bool ok = !refusal && !failed_;
  if (json_) {
    nlohmann::json result = extra_;
    result["command"] = command_;
    result["ok"] = ok;
    result["checks"] = checks_;
    result["refusal"] = refusal ? nlohmann::json(*refusal) : nlohmann::json();
    streams_.jsonOutput << result.dump() << '\n' << std::flush;
  } else if (refusal) {
    streams_.lines << "refused: " << *refusal << '\n' << std::flush;
  } else if (failed_) {
    const auto failures = std::count_if(checks_.begin(), checks_.end(),
                                        [](const nlohmann::json& check) { return !check["ok"]; });
    streams_.lines << "refused: " << failures << (failures == 1 ? " check" : " checks")
                   << " failed\n"
                   << std::flush;
  } else {
    streams_.lines << success << '\n' << std::flush;
  }
  return ok ? 0 : 1;
}

}  // namespace vexa
