#pragma once

#include <cstddef>
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

// A property list refused for its size or its nesting rather than its syntax: no genuine document
// of ours comes near the limits below, so such bytes are hostile or broken, and a caller may treat
// them as an invalid document instead of a parse failure.
class PropertyListLimitError : public PropertyListError {
 public:
  using PropertyListError::PropertyListError;
};

// Far beyond any bundle's Info.plist; the cap keeps a huge file from becoming a huge allocation.
inline constexpr std::size_t maxPropertyListBytes = std::size_t{1} << 20;
// Values nested deeper than this (the top-level value is at depth 0) are refused.
inline constexpr int maxPropertyListDepth = 256;

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
  // The text of a text value; empty for any other kind (a data value's bytes are no text, though
  // they share the storage).
  [[nodiscard]] const std::string& text() const { return kind_ == Kind::text ? text_ : none_; }
  // The bytes of a data value; empty for any other kind.
  [[nodiscard]] const std::string& data() const { return kind_ == Kind::data ? text_ : none_; }
  [[nodiscard]] std::int64_t integer() const { return integer_; }
  [[nodiscard]] double real() const { return real_; }
  [[nodiscard]] bool boolean() const { return boolean_; }
  [[nodiscard]] const std::vector<PropertyListValue>& elements() const { return elements_; }
  // Keys of a dictionary, parallel to elements().
  [[nodiscard]] const std::vector<std::string>& keys() const { return keys_; }

  // The value in its natural description, as the platform prints it: a text unchanged, an integer
  // in decimal digits, a boolean as 1 or 0, a real in its shortest form ("42", "1.5"), a date as
  // "2001-01-01 00:00:57 +0000", a keyed-archive reference as "{value = 5}". Only texts and numbers
  // can thus read as a plain number; a date never does.
  [[nodiscard]] std::string description() const;

 private:
  friend class PropertyListParser;
  Kind kind_ = Kind::text;
  bool boolean_ = false;
  std::int64_t integer_ = 0;
  double real_ = 0;   // a real, or a date in seconds since 2001-01-01 00:00:00 UTC
  std::string text_;  // text, or the raw bytes of data
  inline static const std::string none_;
  std::vector<std::string> keys_;
  std::vector<PropertyListValue> elements_;
};

// A dictionary with text keys, the shape of a bundle's Info.plist.
using PropertyListDictionary = std::map<std::string, PropertyListValue, std::less<>>;

// Parses XML or binary property-list bytes (libplist). Throws PropertyListError when the bytes
// are none of these or hold a text with a NUL (on which libplist aborts), and
// PropertyListLimitError for more than maxPropertyListBytes, values nested deeper than
// maxPropertyListDepth, or shared binary objects that would expand into a huge tree. libplist
// parses and frees recursively, so the nesting is first measured on the bytes without recursion
// (with a looser bound) and deep input never reaches it. The top-level value can be of any kind.
// Safe on any bytes and on any thread's stack.
[[nodiscard]] PropertyListValue parsePropertyList(std::string_view bytes);

// The top-level dictionary of `value`, or nothing when it is not a dictionary.
[[nodiscard]] std::optional<PropertyListDictionary> asDictionary(const PropertyListValue& value);

}  // namespace vexa::platform
