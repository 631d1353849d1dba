#include "platform/property_list.h"

#include <plist/plist.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace vexa::platform {
namespace {

// The byte-level measure only has to keep libplist's recursion shallow; the exact rule is the
// depth check on the parsed tree. A looser bound here leaves room for the scan's conservative
// counting without refusing anything the tree check would accept.
constexpr std::size_t scanDepthLimit = 2 * maxPropertyListDepth;
// Shared objects of a binary list are copied wherever they are referenced, so a small file can
// describe a tree of astronomical size; a bundle's list has a few hundred values.
constexpr std::uint64_t maxExpandedValues = std::uint64_t{1} << 20;

PropertyListLimitError tooLarge() {
  return PropertyListLimitError("property list too large or nested too deeply");
}
PropertyListError malformed() {
  return PropertyListError("The data couldn't be read because it isn't in the correct format.");
}

// Refuses XML whose <array> and <dict> elements nest deeper than scanDepthLimit. Comments,
// processing instructions, declarations and CDATA sections are skipped as libplist skips them;
// wherever the two readings could differ (unbalanced or odd tags) this one counts more, never less.
void checkXmlNesting(std::string_view bytes) {
  // libplist's text getters assert that a text holds no NUL, and would abort the process. No NUL
  // byte belongs in XML (libplist itself refuses the character reference &#0;).
  if (bytes.find('\0') != std::string_view::npos) throw malformed();
  std::string open;  // 'a' or 'd' for each open container
  std::size_t at = 0;
  while ((at = bytes.find('<', at)) != std::string_view::npos) {
    const std::string_view rest = bytes.substr(at);
    std::string_view opening;
    std::string_view skipTo;
    for (const auto& [start, end] : {std::pair<std::string_view, std::string_view>{"<!--", "-->"},
                                     {"<![CDATA[", "]]>"},
                                     {"<?", "?>"},
                                     {"<!", ">"}}) {
      if (rest.starts_with(start)) {
        opening = start;
        skipTo = end;
        break;
      }
    }
    if (!skipTo.empty()) {
      const std::size_t end = bytes.find(skipTo, at + opening.size());
      if (end == std::string_view::npos) return;  // nothing after an unterminated section is markup
      at = end + skipTo.size();
      continue;
    }
    const bool closing = rest.starts_with("</");
    const std::size_t nameStart = at + (closing ? 2 : 1);
    const std::size_t nameEnd = std::min(bytes.find_first_of(" \t\r\n/>", nameStart), bytes.size());
    const std::string_view name = bytes.substr(nameStart, nameEnd - nameStart);
    const std::size_t tagEnd = bytes.find('>', nameStart);
    const char kind = name == "array" ? 'a' : name == "dict" ? 'd' : 0;
    if (kind != 0 && !closing && !(tagEnd != std::string_view::npos && bytes[tagEnd - 1] == '/')) {
      open.push_back(kind);
      if (open.size() > scanDepthLimit) throw tooLarge();
    } else if (kind != 0 && closing && !open.empty() && open.back() == kind) {
      open.pop_back();
    }
    if (tagEnd == std::string_view::npos) return;
    at = tagEnd + 1;
  }
}

// The object table of a binary property list, read as far as the nesting check needs: which
// objects are containers and which objects they refer to. Every offset and count is checked
// against the bytes; anything out of place is refused as malformed.
class BinaryObjectTable {
 public:
  explicit BinaryObjectTable(std::string_view bytes) : bytes_(bytes) {
    constexpr std::size_t headerSize = 8;
    constexpr std::size_t trailerSize = 32;
    if (bytes.size() < headerSize + trailerSize) throw malformed();
    end_ = bytes.size() - trailerSize;
    offsetSize_ = static_cast<unsigned char>(bytes[end_ + 6]);
    referenceSize_ = static_cast<unsigned char>(bytes[end_ + 7]);
    if (offsetSize_ < 1 || offsetSize_ > 8 || referenceSize_ < 1 || referenceSize_ > 8)
      throw malformed();
    count_ = number(end_ + 8, 8);
    top_ = number(end_ + 16, 8);
    offsetTable_ = number(end_ + 24, 8);
    if (offsetTable_ < headerSize || offsetTable_ > end_ || count_ == 0 || top_ >= count_ ||
        count_ > (end_ - offsetTable_) / offsetSize_) {
      throw malformed();
    }
  }

  [[nodiscard]] std::uint64_t count() const { return count_; }
  [[nodiscard]] std::uint64_t top() const { return top_; }

  // Where a container's references lie; nothing for any other kind of object.
  struct References {
    std::uint64_t start;
    std::uint64_t count;
  };
  [[nodiscard]] std::optional<References> references(std::uint64_t object) const {
    const Header header = headerOf(object);
    // Arrays, sets (ordered or not) and dictionaries; a dictionary refers to its keys, then its
    // values.
    if (header.type < 0xA || header.type > 0xD) return std::nullopt;
    const std::uint64_t references = header.type == 0xD ? 2 * header.length : header.length;
    if (header.length > end_ || references > (end_ - header.start) / referenceSize_)
      throw malformed();
    return References{header.start, references};
  }

  // Whether a text object (ASCII, UTF-16 or UTF-8) holds a NUL character.
  [[nodiscard]] bool holdsNul(std::uint64_t object) const {
    const Header header = headerOf(object);
    if (header.type < 0x5 || header.type > 0x7) return false;
    const std::uint64_t unit = header.type == 0x6 ? 2 : 1;
    if (header.length > (end_ - header.start) / unit) throw malformed();
    for (std::uint64_t at = header.start; at < header.start + header.length * unit; at += unit) {
      if (bytes_[at] == '\0' && bytes_[at + unit - 1] == '\0') return true;
    }
    return false;
  }

  [[nodiscard]] std::uint64_t reference(const References& references, std::uint64_t index) const {
    const std::uint64_t object = number(references.start + index * referenceSize_, referenceSize_);
    if (object >= count_) throw malformed();
    return object;
  }

 private:
  // An object's type (the marker's high half), where its content starts and its length in elements.
  struct Header {
    int type;
    std::uint64_t start;
    std::uint64_t length;
  };
  [[nodiscard]] Header headerOf(std::uint64_t object) const {
    const std::uint64_t offset = number(offsetTable_ + object * offsetSize_, offsetSize_);
    if (offset < 8 || offset >= end_) throw malformed();
    const auto marker = static_cast<unsigned char>(bytes_[offset]);
    Header header{marker >> 4, offset + 1, marker & 0xFu};
    // A length of 15 or more follows as an integer object.
    if (header.length == 0xF && header.type >= 0x4 && header.type != 0x8) {
      if (header.start >= end_) throw malformed();
      const auto lengthMarker = static_cast<unsigned char>(bytes_[header.start]);
      if ((lengthMarker >> 4) != 1 || (lengthMarker & 0xF) > 3) throw malformed();
      const std::size_t size = std::size_t{1} << (lengthMarker & 0xF);
      header.length = number(header.start + 1, size);
      header.start += 1 + size;
    }
    if (header.start > end_) throw malformed();
    return header;
  }

  // The big-endian unsigned number of `size` bytes at `offset`.
  [[nodiscard]] std::uint64_t number(std::uint64_t offset, std::size_t size) const {
    if (offset > bytes_.size() || size > bytes_.size() - offset) throw malformed();
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < size; ++index) {
      value = (value << 8) | static_cast<unsigned char>(bytes_[offset + index]);
    }
    return value;
  }

  std::string_view bytes_;
  std::uint64_t end_ = 0;  // where the trailer begins
  std::size_t offsetSize_ = 0;
  std::size_t referenceSize_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t top_ = 0;
  std::uint64_t offsetTable_ = 0;
};

// Refuses a binary list whose containers, followed from the top object, nest deeper than
// scanDepthLimit, refer back to themselves, or expand into more than maxExpandedValues values.
// A depth-first walk with an explicit stack that never holds more than scanDepthLimit containers;
// each object is examined once, its nesting and expanded size remembered for later references.
void checkBinaryNesting(std::string_view bytes) {
  const BinaryObjectTable table(bytes);
  // libplist's text getters assert that a text holds no NUL, and would abort the process.
  for (std::uint64_t object = 0; object < table.count(); ++object) {
    if (table.holdsNul(object)) throw malformed();
  }
  enum : unsigned char { unseen, open, done };
  std::vector<unsigned char> state(table.count(), unseen);
  std::vector<std::uint32_t> nesting(table.count(), 0);  // containers on the longest chain below
  std::vector<std::uint64_t> values(table.count(), 1);   // expanded size, saturating
  struct Frame {
    std::uint64_t object;
    BinaryObjectTable::References references;
    std::uint64_t next = 0;
  };
  std::vector<Frame> stack;
  const auto enter = [&](std::uint64_t object) {
    state[object] = open;
    if (const auto references = table.references(object)) {
      if (stack.size() == scanDepthLimit) throw tooLarge();
      nesting[object] = 1;
      stack.push_back(Frame{object, *references});
    } else {
      state[object] = done;
    }
  };
  // Adds a finished child's nesting and size to the container on top of the stack.
  const auto absorb = [&](std::uint64_t child) {
    const std::uint64_t parent = stack.back().object;
    nesting[parent] = std::max(nesting[parent], nesting[child] + 1);
    values[parent] = std::min(values[parent] + values[child], maxExpandedValues + 1);
    if (nesting[parent] > scanDepthLimit || values[parent] > maxExpandedValues) throw tooLarge();
  };
  enter(table.top());
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.references.count) {
      state[frame.object] = done;
      const std::uint64_t object = frame.object;
      stack.pop_back();
      if (!stack.empty()) absorb(object);
      continue;
    }
    const std::uint64_t child = table.reference(frame.references, frame.next++);
    if (state[child] == open) throw tooLarge();  // a container inside itself never ends
    if (state[child] == unseen) {
      enter(child);  // may grow the stack; `frame` is not used again
      if (state[child] == open) continue;
    }
    absorb(child);
  }
}

}  // namespace

// Converts libplist's tree into PropertyListValue, owning nothing of libplist's after it returns.
class PropertyListParser {
 public:
  static PropertyListValue convert(plist_t node, int depth) {
    // Property lists are shallow; a deeper one is hostile and would only exhaust the stack.
    if (depth > maxPropertyListDepth) throw tooLarge();
    PropertyListValue value;
    switch (plist_get_node_type(node)) {
      case PLIST_BOOLEAN: {
        uint8_t flag = 0;
        plist_get_bool_val(node, &flag);
        value.kind_ = PropertyListValue::Kind::boolean;
        value.boolean_ = flag != 0;
        break;
      }
      case PLIST_UINT: {
        uint64_t number = 0;
        plist_get_uint_val(node, &number);
        value.kind_ = PropertyListValue::Kind::integer;
        // libplist keeps every integer in 64 bits; negative ones come back in two's complement.
        value.integer_ = static_cast<std::int64_t>(number);
        break;
      }
      case PLIST_REAL:
        value.kind_ = PropertyListValue::Kind::real;
        plist_get_real_val(node, &value.real_);
        break;
      case PLIST_STRING:
      case PLIST_KEY: {
        char* text = nullptr;
        plist_get_string_val(node, &text);
        std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
        value.kind_ = PropertyListValue::Kind::text;
        value.text_ = text != nullptr ? text : "";
        break;
      }
      case PLIST_DATA: {
        char* bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        std::unique_ptr<char, decltype(&std::free)> owned(bytes, &std::free);
        value.kind_ = PropertyListValue::Kind::data;
        if (bytes != nullptr) value.text_.assign(bytes, static_cast<std::size_t>(length));
        break;
      }
      case PLIST_DATE: {
        int32_t seconds = 0;
        int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        value.kind_ = PropertyListValue::Kind::date;
        value.real_ = seconds + microseconds / 1e6;
        break;
      }
      case PLIST_UID: {
        uint64_t number = 0;
        plist_get_uid_val(node, &number);
        value.kind_ = PropertyListValue::Kind::uid;
        value.integer_ = static_cast<std::int64_t>(number);
        break;
      }
      case PLIST_ARRAY: {
        value.kind_ = PropertyListValue::Kind::array;
        const uint32_t count = plist_array_get_size(node);
        for (uint32_t index = 0; index < count; ++index) {
          value.elements_.push_back(convert(plist_array_get_item(node, index), depth + 1));
        }
        break;
      }
      case PLIST_DICT: {
        value.kind_ = PropertyListValue::Kind::dictionary;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        std::unique_ptr<void, decltype(&std::free)> ownedIterator(iterator, &std::free);
        PropertyListDictionary sorted;
        for (;;) {
          char* key = nullptr;
          plist_t item = nullptr;
          plist_dict_next_item(node, iterator, &key, &item);
          std::unique_ptr<char, decltype(&std::free)> ownedKey(key, &std::free);
          if (item == nullptr) break;
          sorted.insert_or_assign(key != nullptr ? key : "", convert(item, depth + 1));
        }
        for (auto& [key, element] : sorted) {
          value.keys_.push_back(key);
          value.elements_.push_back(std::move(element));
        }
        break;
      }
      default:
        throw PropertyListError("property list holds a value of unknown type");
    }
    return value;
  }
};

PropertyListValue PropertyListValue::makeText(std::string text) {
  PropertyListValue value;
  value.kind_ = Kind::text;
  value.text_ = std::move(text);
  return value;
}

PropertyListValue PropertyListValue::makeInteger(std::int64_t number) {
  PropertyListValue value;
  value.kind_ = Kind::integer;
  value.integer_ = number;
  return value;
}

std::string PropertyListValue::description() const {
  switch (kind_) {
    case Kind::text:
      return text_;
    case Kind::integer:
      return std::to_string(integer_);
    case Kind::uid:
      return "{value = " + std::to_string(integer_) + "}";
    case Kind::boolean:
      return boolean_ ? "1" : "0";
    case Kind::date: {
      using namespace std::chrono;
      constexpr sys_seconds reference = sys_days(year(2001) / January / 1);
      const sys_seconds instant = reference + floor<seconds>(duration<double>(real_));
      const sys_days day = floor<days>(instant);
      const year_month_day date(day);
      const hh_mm_ss time(instant - day);
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02lld:%02lld:%02lld +0000",
                    static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                    static_cast<unsigned>(date.day()), static_cast<long long>(time.hours().count()),
                    static_cast<long long>(time.minutes().count()),
                    static_cast<long long>(time.seconds().count()));
      return buffer;
    }
    case Kind::real: {
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%.17g", real_);
      // Prefer the shortest text that reads back as the same number.
      for (int precision = 1; precision <= 17; ++precision) {
        char shorter[64];
        std::snprintf(shorter, sizeof shorter, "%.*g", precision, real_);
        if (std::strtod(shorter, nullptr) == real_) return shorter;
      }
      return buffer;
    }
    default:
      return {};
  }
}

PropertyListValue parsePropertyList(std::string_view bytes) {
  if (bytes.empty()) throw malformed();
  if (bytes.size() > maxPropertyListBytes) throw tooLarge();
  // libplist takes anything that starts so for a binary list and everything else for XML.
  if (bytes.starts_with("bplist00")) {
    checkBinaryNesting(bytes);
  } else {
    checkXmlNesting(bytes);
  }
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (root == nullptr) throw malformed();
  std::unique_ptr<void, decltype(&plist_free)> owned(root, &plist_free);
  return PropertyListParser::convert(root, 0);
}

std::optional<PropertyListDictionary> asDictionary(const PropertyListValue& value) {
  if (value.kind() != PropertyListValue::Kind::dictionary) return std::nullopt;
  PropertyListDictionary dictionary;
  for (std::size_t index = 0; index < value.keys().size(); ++index) {
    dictionary.emplace(value.keys()[index], value.elements()[index]);
  }
  return dictionary;
}

}  // namespace vexa::platform
