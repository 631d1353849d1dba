#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vexa::platform {

// A property list that cannot be parsed in any of the standard encodings. what() says so.
class PropertyListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One property-list value, read-only after parsing. Arrays and dictionaries hold their elements;
// dictionaries keep their keys sorted. Plain value; copies cross threads freely.
class PropertyListValue {
 public:
  enum class Kind { boolean, integer, real, text, data, date, array, dictionary, uid };

  PropertyListValue() = default;
  [[nodiscard]] static PropertyListValue makeText(std::string text);
  [[nodiscard]] static PropertyListValue makeInteger(std::int64_t value);

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] bool isText() const { return kind_ == Kind::text; }
  // The text of a text value; empty for any other kind.
  [[nodiscard]] const std::string& text() const { return text_; }
  [[nodiscard]] std::int64_t integer() const { return integer_; }
  [[nodiscard]] double real() const { return real_; }
  [[nodiscard]] bool boolean() const { return boolean_; }
  [[nodiscard]] const std::vector<PropertyListValue>& elements() const { return elements_; }
  // Keys of a dictionary, parallel to elements().
  [[nodiscard]] const std::vector<std::string>& keys() const { return keys_; }

  // The value in its natural description, as the platform prints it: a text unchanged, an integer
  // in decimal digits, a boolean as 1 or 0, a real in its shortest form ("42", "1.5").
  [[nodiscard]] std::string description() const;

 private:
  friend class PropertyListParser;
  Kind kind_ = Kind::text;
  bool boolean_ = false;
  std::int64_t integer_ = 0;
  double real_ = 0;
  std::string text_;  // text, or the raw bytes of data
  std::vector<std::string> keys_;
  std::vector<PropertyListValue> elements_;
};

// A dictionary with text keys, the shape of a bundle's Info.plist.
using PropertyListDictionary = std::map<std::string, PropertyListValue, std::less<>>;

// Parses XML or binary property-list bytes (libplist). Throws PropertyListError when the
// bytes are none of these. The top-level value can be of any kind.
[[nodiscard]] PropertyListValue parsePropertyList(std::string_view bytes);

// The top-level dictionary of `value`, or nothing when it is not a dictionary.
[[nodiscard]] std::optional<PropertyListDictionary> asDictionary(const PropertyListValue& value);

}  // namespace vexa::platform
