#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vexa::platform {

// `text` without the blanks HTTP allows around header values and list items (space, tab, CR, LF).
[[nodiscard]] std::string_view trimmedHttpBlanks(std::string_view text);

// The header block of one HTTP response, read line by line as libcurl hands the lines over: the
// status line ("HTTP/1.1 206 Partial Content", "HTTP/2 200") starts a block again, header lines
// are split at their first colon and trimmed, folded continuation lines join the header before
// them, and lines that are neither are skipped. Interim (1xx) blocks are forgotten at their blank
// line. A status beyond three digits reads as 1000 or more.
//
// Threading: none of its own (the URL session reads it on the main thread). Nothing here throws
// apart from std::bad_alloc.
class ResponseHeaderBlock {
 public:
  // Reads one line, its line break included. True when it is the blank line that ends a final
  // (non-interim) block: the response is then complete and may be decided on, before the body.
  [[nodiscard]] bool add(std::string_view line);

  [[nodiscard]] int status() const { return status_; }
  [[nodiscard]] const std::vector<std::pair<std::string, std::string>>& headers() const {
    return headers_;
  }

 private:
  void clear();

  int status_ = 0;
  std::vector<std::pair<std::string, std::string>> headers_;
};

}  // namespace vexa::platform
