#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vexa {

// What one command of the release tool tells its caller: a line per check as it is decided, then
// a verdict. In text mode the lines go to `lines` as they come ("ok    name: detail" or
// "FAIL  name: detail") and the verdict last; with `json` nothing is printed until finish(), which
// writes one JSON object to `json output` for CI:
//   {"command": ..., "ok": bool, "checks": [{"name", "ok", "detail"}], "refusal": text or null,
//    plus the members added with set()}.
// A progress bar for long steps is drawn on `progressStream` only when `progressOnTerminal` says
// that stream is a terminal. Main thread only.
class ReleaseReport {
 public:
  struct Streams {
    std::ostream& lines;
    std::ostream& jsonOutput;
    std::ostream& progress;
  };
  ReleaseReport(std::string command, bool json, Streams streams, bool progressOnTerminal);

  void pass(const std::string& name, const std::string& detail);
  void fail(const std::string& name, const std::string& detail);
  [[nodiscard]] bool anyFailed() const;
  // An extra member of the JSON object (the configuration, the output path).
  void set(const std::string& key, nlohmann::json value);

  // A callback that draws "label [####      ]  42%" for done ÷ total; a no-op off a terminal.
  // clearProgress() wipes the bar before the next line is printed.
  [[nodiscard]] std::function<void(std::int64_t done)> progress(const std::string& label,
                                                                std::int64_t total);
  void clearProgress();

  // Prints the verdict (text: `success` when nothing failed and there is no refusal, else the
  // refusal or "refused: N checks failed") and returns the exit status: 0, or 1 for a refusal or
  // a failed check.
  int finish(const std::optional<std::string>& refusal, const std::string& success);

 private:
  const std::string command_;
  const bool json_;
  Streams streams_;
  const bool progressOnTerminal_;
  nlohmann::json checks_ = nlohmann::json::array();
  nlohmann::json extra_ = nlohmann::json::object();
  bool failed_ = false;
  bool progressShown_ = false;
  int lastPercent_ = -1;
};

}  // namespace vexa
