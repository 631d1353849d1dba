// Property lists in XML and binary form, as read from an application's Info.plist: parsing, then
// everything the installer derives from the result. Bad input may only end in PropertyListError
// (parsing) or InstallerFailure (reading the version).
#include <cstdint>
#include <string_view>

#include "config/installer_failure.h"
#include "fuzz_check.h"
#include "install/installed_application.h"
#include "platform/property_list.h"

namespace {

using vexa::platform::PropertyListValue;

void visit(const PropertyListValue& value) {
  (void)value.description();
  if (value.kind() == PropertyListValue::Kind::dictionary) {
    FUZZ_CHECK(value.keys().size() == value.elements().size());
  }
  for (const PropertyListValue& element : value.elements()) visit(element);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  PropertyListValue value;
  try {
    value = vexa::platform::parsePropertyList(bytes);
  } catch (const vexa::platform::PropertyListError&) {
    return 0;
  }
  visit(value);
  const auto dictionary = vexa::platform::asDictionary(value);
  FUZZ_CHECK(dictionary.has_value() == (value.kind() == PropertyListValue::Kind::dictionary));
  if (!dictionary) return 0;
  try {
    const vexa::InstalledApplicationVersion version(*dictionary);
    FUZZ_CHECK(vexa::NativeInstaller::isApplicationVersion(version.version()));
  } catch (const vexa::InstallerFailure&) {
  }
  return 0;
}
