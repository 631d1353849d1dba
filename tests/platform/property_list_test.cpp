#include "platform/property_list.h"

#include <plist/plist.h>

#include <gtest/gtest.h>

#include <memory>

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
    const std::optional<PropertyListDictionary> info = asDictionary(parsePropertyList(encoded(binary)));
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->at("CFBundleIdentifier").isText());
    EXPECT_EQ(info->at("CFBundleIdentifier").text(), "dev.plovik.desktop");
    EXPECT_FALSE(info->at("CFBundleVersion").isText());
    // Natural descriptions, as a bundle's build value is rendered.
    EXPECT_EQ(info->at("CFBundleVersion").description(), "57");
    EXPECT_EQ(info->at("Negative").description(), "-3");
    EXPECT_EQ(info->at("Ratio").description(), "1.5");
    EXPECT_EQ(info->at("Whole").description(), "42");
    EXPECT_EQ(info->at("Flag").description(), "1");
    ASSERT_EQ(info->at("List").elements().size(), 1u);
    EXPECT_EQ(info->at("List").elements()[0].text(), "中文");
  }
}

TEST(PropertyList, RefusesWhatIsNoPropertyList) {
  for (const char* bytes : {"", "not a plist", "<?xml version=\"1.0\"?><plist><dict><key>a</key>", "bplist00garbage"}) {
    EXPECT_THROW((void)parsePropertyList(bytes), PropertyListError) << bytes;
  }
  EXPECT_FALSE(asDictionary(parsePropertyList("<?xml version=\"1.0\"?><plist version=\"1.0\"><string>x</string></plist>")));
}

}  // namespace
}  // namespace vexa::platform
