#include "platform/response_header_block.h"

#include <cctype>

namespace vexa::platform {

std::string_view trimmedHttpBlanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

void ResponseHeaderBlock::clear() {
  status_ = 0;
  headers_.clear();
}

bool ResponseHeaderBlock::add(std::string_view line) {
  if (line.starts_with("HTTP/")) {
    // "HTTP/1.1 206 Partial Content" or "HTTP/2 200": a new header block begins.
    clear();
    const std::size_t space = line.find(' ');
    if (space != std::string_view::npos) {
      int status = 0;
      for (std::size_t i = space + 1;
           i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])); ++i) {
        status = status * 10 + (line[i] - '0');
        if (status > 999) break;
      }
      status_ = status;
    }
    return false;
  }
  const std::string_view content = trimmedHttpBlanks(line);
  if (content.empty()) {
    // The blank line: an interim (1xx) block is forgotten, a final one is complete.
    if (status_ < 200) {
      clear();
      return false;
    }
    return true;
  }
  if ((line.front() == ' ' || line.front() == '\t') && !headers_.empty()) {
    headers_.back().second += " " + std::string(content);  // folded continuation
    return false;
  }
  const std::size_t colon = content.find(':');
  if (colon == std::string_view::npos) return false;
  headers_.emplace_back(std::string(trimmedHttpBlanks(content.substr(0, colon))),
                        std::string(trimmedHttpBlanks(content.substr(colon + 1))));
  return false;
}

}  // namespace vexa::platform
