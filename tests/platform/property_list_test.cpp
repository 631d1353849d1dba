#include "platform/property_list.h"

#include <plist/plist.h>

#include <gtest/gtest.h>

#include <thread>

#include "tests/support/property_list_samples.h"

namespace vexa::platform {
namespace {

std::string xmlPlist(const std::string& body) {
  return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + body + "</plist>";
}

// The same dictionary in both encodings, the binary one made by libplist itself.
std::string encoded(bool binary) {
  const std::string xml = xmlPlist(
      "<dict><key>CFBundleIdentifier</key><string>dev.plovik.desktop</string><key>CFBundleVersion"
      "</key><integer>57</integer><key>Negative</key><integer>-3</integer><key>Ratio</key><real>"
      "1.5</real><key>Payload</key><data>aGk=</data></dict>");
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bytes, &length);
  plist_free(root);
  const std::string result = binary ? std::string(bytes, length) : xml;
  std::free(bytes);
  return result;
}

TEST(PropertyList, ReadsXmlAndBinaryAlike) {
  for (bool binary : {false, true}) {
    const std::optional<PropertyListDictionary> info =
        asDictionary(parsePropertyList(encoded(binary)));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->at("CFBundleIdentifier").text(), "dev.plovik.desktop");
    // Natural descriptions, as a bundle's build value is rendered (the installed-application
    // tests read a date).
    std::string described;
    for (const char* key : {"CFBundleVersion", "Negative", "Ratio"})
      described += info->at(key).description() + "|";
    EXPECT_EQ(described, "57|-3|1.5|");
    // Data is bytes, never a text; a text has no bytes.
    const PropertyListValue& payload = info->at("Payload");
    EXPECT_EQ(payload.data() + "|" + payload.text() + "|" + info->at("CFBundleIdentifier").data(),
              "hi||");
  }
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
      {testing::nestedArrays(257, false), 257},  // the innermost at depth 256, the limit
      {testing::nestedArrays(258, false), 0},
      {xmlPlist(repeated("<array><dict><key>k</key>", 129) + repeated("</dict></array>", 129)), 0},
      {testing::nestedArrays(257, true), 257},
      {testing::nestedArrays(100000, true), 0},
      {xmlPlist(repeated("<array>", 140000)), 0},
      {testing::binaryArrays({{1}, {2, 0}, {}}), 0},
      {testing::binaryArrays(shared), 0},
      {xmlPlist("<string>" + std::string(maxPropertyListBytes, 'x') + "</string>"), 0},
      // Markup that only looks like nesting does not count.
      {xmlPlist("<!--" + repeated("<array>", 600) + "--><array/>"), 1},
      {xmlPlist("<array>" + repeated("<array/>", 600) + "</array>"), 2},
  };
  // A NUL inside a text, on which libplist would abort the process.
  for (const bool binary : {false, true}) {
    cases.emplace_back(encoded(binary), -1);
    cases.back().first[cases.back().first.find("plovik")] = '\0';
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
