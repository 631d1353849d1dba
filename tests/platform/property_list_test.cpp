#include "platform/property_list.h"

#include <plist/plist.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "tests/support/property_list_samples.h"

namespace vexa::platform {
namespace {

// The same dictionary in both encodings, made by libplist itself.
std::string encoded(bool binary) {
  std::unique_ptr<void, decltype(&plist_free)> root(plist_new_dict(), &plist_free);
  plist_t dictionary = root.get();
  plist_dict_set_item(dictionary, "CFBundleIdentifier", plist_new_string("dev.plovik.desktop"));
  plist_dict_set_item(dictionary, "CFBundleVersion", plist_new_uint(57));
  plist_dict_set_item(dictionary, "Negative", plist_new_uint(static_cast<uint64_t>(-3)));
  plist_dict_set_item(dictionary, "Ratio", plist_new_real(1.5));
  plist_dict_set_item(dictionary, "Whole", plist_new_real(42.0));
  plist_dict_set_item(dictionary, "Flag", plist_new_bool(1));
  plist_dict_set_item(dictionary, "Blob", plist_new_data("\0\1\2\xff", 4));
  plist_dict_set_item(dictionary, "Built", plist_new_date(57, 0));  // seconds since 2001
  plist_dict_set_item(dictionary, "Earlier", plist_new_date(-1, 0));
  if (binary) plist_dict_set_item(dictionary, "Reference", plist_new_uid(5));  // binary lists only
  plist_t array = plist_new_array();
  plist_array_append_item(array, plist_new_string("中文"));
  plist_dict_set_item(dictionary, "List", array);
  char* bytes = nullptr;
  uint32_t length = 0;
  if (binary) {
    plist_to_bin(dictionary, &bytes, &length);
  } else {
    plist_to_xml(dictionary, &bytes, &length);
  }
  std::string result(bytes, length);
  std::free(bytes);
  return result;
}

TEST(PropertyList, ReadsXmlAndBinaryAlike) {
  for (bool binary : {false, true}) {
    SCOPED_TRACE(binary ? "binary" : "xml");
    const std::optional<PropertyListDictionary> info =
        asDictionary(parsePropertyList(encoded(binary)));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->at("CFBundleIdentifier").text(), "dev.plovik.desktop");
    EXPECT_FALSE(info->at("CFBundleVersion").isText());
    // Natural descriptions, as a bundle's build value is rendered; neither a date nor a
    // keyed-archive reference reads as a number, so neither passes for a build.
    std::string described;
    for (const char* key :
         {"CFBundleVersion", "Negative", "Ratio", "Whole", "Flag", "Built", "Earlier"})
      described += info->at(key).description() + "|";
    EXPECT_EQ(described, "57|-3|1.5|42|1|2001-01-01 00:00:57 +0000|2000-12-31 23:59:59 +0000|");
    if (binary) {
      EXPECT_EQ(info->at("Reference").description(), "{value = 5}");
    }
    EXPECT_EQ(info->at("Blob").data(), std::string("\0\1\2\xff", 4));
    ASSERT_EQ(info->at("List").elements().size(), 1u);
    EXPECT_EQ(info->at("List").elements()[0].text(), "中文");
  }
  EXPECT_FALSE(asDictionary(parsePropertyList(
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>x</string></plist>")));
}

std::string xmlPlist(const std::string& body) {
  return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + body + "</plist>";
}

std::string repeated(const std::string& piece, std::size_t count) {
  std::string result;
  for (; count > 0; --count) result += piece;
  return result;
}

// Nesting up to the limit is read in full; beyond it, and for anything that would exhaust
// libplist's stack (or its memory, for the shared one), the list is refused, as is what is no
// property list at all. Parsed on a worker thread, whose ordinary stack must do.
TEST(PropertyList, ReadsNestingUpToTheLimitAndRefusesHostileListsOnAnOrdinaryThread) {
  std::vector<std::vector<std::uint32_t>> shared(64);  // every level refers twice to the next
  for (std::uint32_t level = 0; level + 1 < shared.size(); ++level)
    shared[level] = {level + 1, level + 1};
  std::vector<std::pair<std::string, int>> cases = {
      // levels of arrays read; 0 when refused for a limit, -1 when refused as malformed
      {"not a plist", -1},
      {"bplist00garbage", -1},
      {xmlPlist("<dict><key>a</key>"), -1},
      {xmlPlist("<string>a&#x00;</string>"), -1},
      {testing::nestedArrays(257, false), 257},  // the innermost at depth 256, the limit
      {testing::nestedArrays(258, false), 0},
      {testing::nestedArrays(257, true), 257},
      {testing::nestedArrays(258, true), 0},
      {testing::nestedArrays(100000, true), 0},
      {testing::nestedArrays(200000, false), 0},  // also beyond the size cap
      {xmlPlist(repeated("<array>", 140000)), 0},
      {testing::binaryArrays({{1}, {2, 0}, {}}), 0},
      {testing::binaryArrays(shared), 0},
      {xmlPlist("<string>" + std::string(maxPropertyListBytes, 'x') + "</string>"), 0},
      // Markup that only looks like nesting does not count.
      {xmlPlist("<!--" + repeated("<array>", 600) + "--><array/>"), 1},
      {xmlPlist("<array><string><![CDATA[" + repeated("<array>", 600) + "]]></string></array>"), 1},
      {xmlPlist("<array>" + repeated("<array/>", 600) + "</array>"), 2},
  };
  // A NUL inside a text or a key, on which libplist would abort the process.
  for (const bool binary : {false, true}) {
    for (const char* inside : {"plovik", "Bundle"}) {
      cases.emplace_back(encoded(binary), -1);
      cases.back().first[cases.back().first.find(inside)] = '\0';
    }
  }
  for (const auto& [bytes, levels] : cases) {
    std::string outcome;
    std::thread([&] {
      try {
        const PropertyListValue top = parsePropertyList(bytes);
        int depth = 0;  // arrays on the path of first elements
        for (const PropertyListValue* value = &top;
             value != nullptr && value->kind() == PropertyListValue::Kind::array; ++depth) {
          value = value->elements().empty() ? nullptr : &value->elements()[0];
        }
        outcome = std::to_string(depth);
      } catch (const PropertyListLimitError&) {
        outcome = "0";
      } catch (const PropertyListError&) {
        outcome = "-1";
      } catch (const std::exception& error) {
        outcome = error.what();
      }
    }).join();
    EXPECT_EQ(outcome, std::to_string(levels)) << bytes.substr(0, 200);
  }
}

}  // namespace
}  // namespace vexa::platform
