#include "requirement_reader.h"

#include <cctype>
#include <stdexcept>

namespace vexa::tools {
namespace {

// A small recursive-descent reader for the requirement language subset the installer uses.
class RequirementReader {
 public:
  RequirementReader(std::string text, const SignatureCheck& signature)
      : text_(std::move(text)), signature_(signature) {}

  bool evaluate() {
    const bool result = orExpression();
    skipSpaces();
    if (position_ != text_.size()) fail();
    return result;
  }

 private:
  [[noreturn]] void fail() const {
    throw std::runtime_error("unreadable requirement near position " + std::to_string(position_));
  }
  void skipSpaces() {
    while (position_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[position_])))
      ++position_;
  }
  bool accept(const std::string& word) {
    skipSpaces();
    if (text_.compare(position_, word.size(), word) != 0) return false;
    const std::size_t end = position_ + word.size();
    // Words must end at a word boundary; punctuation tokens need not.
    if (std::isalpha(static_cast<unsigned char>(word.back())) && end < text_.size() &&
        (std::isalnum(static_cast<unsigned char>(text_[end])) || text_[end] == '_')) {
      return false;
    }
    position_ = end;
    return true;
  }
  void expect(const std::string& word) {
    if (!accept(word)) fail();
  }
  std::string quoted() {
    skipSpaces();
    if (position_ >= text_.size() || text_[position_] != '"') fail();
    std::string value;
    for (++position_; position_ < text_.size() && text_[position_] != '"'; ++position_) {
      if (text_[position_] == '\\' && position_ + 1 < text_.size()) ++position_;
      value += text_[position_];
    }
    if (position_ >= text_.size()) fail();
    ++position_;
    return value;
  }
  bool orExpression() {
    bool result = andExpression();
    while (accept("or")) result = andExpression() || result;
    return result;
  }
  bool andExpression() {
    bool result = primary();
    while (accept("and")) result = primary() && result;
    return result;
  }
  bool primary() {
    if (accept("(")) {
      const bool result = orExpression();
      expect(")");
      return result;
    }
    if (accept("anchor")) {
      expect("apple");
      expect("generic");
      return true;  // the chain was verified to end at our anchor
    }
    if (accept("identifier")) {
      accept("=");
      return quoted() == signature_.identifier;
    }
    if (accept("certificate")) {
      expect("leaf");
      expect("[");
      expect("subject.OU");
      expect("]");
      expect("=");
      return quoted() == signature_.leafTeam;
    }
    fail();
  }

  std::string text_;
  const SignatureCheck& signature_;
  std::size_t position_ = 0;
};

}  // namespace

bool satisfiesRequirement(const std::string& requirement, const SignatureCheck& signature) {
  return RequirementReader(requirement, signature).evaluate();
}

}  // namespace vexa::tools
