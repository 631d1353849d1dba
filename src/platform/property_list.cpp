#include "platform/property_list.h"

#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

namespace vexa::platform {

// Converts libplist's tree into PropertyListValue, owning nothing of libplist's after it returns.
class PropertyListParser {
 public:
  static PropertyListValue convert(plist_t node, int depth) {
    // Property lists are shallow; a deeper one is hostile and would only exhaust the stack.
    if (depth > 256) throw PropertyListError("property list nested too deeply");
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
    case Kind::uid:
      return std::to_string(integer_);
    case Kind::boolean:
      return boolean_ ? "1" : "0";
    case Kind::real:
    case Kind::date: {
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
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) {
    throw PropertyListError("The data couldn't be read because it isn't in the correct format.");
  }
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (root == nullptr) {
    throw PropertyListError("The data couldn't be read because it isn't in the correct format.");
  }
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
