// Internal: the stored (JSON) form of person property values. Dates are
// microseconds since 1970 UTC; a multi-value is {"next": n, "entries":
// [{"id", "label", "value"}]}. Decoding a value of the wrong shape gives
// nullopt, so a damaged entry reads as an absent property. Stateless; any
// thread.
#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/addressbook/PropertyValue.h"

namespace platform::addressbook::detail {

nlohmann::json encodeValue(const PropertyValue& value);
// The property whose propertyName() is `name`; nullopt for any other text.
std::optional<PersonProperty> propertyNamed(std::string_view name);
std::optional<PropertyValue> decodeValue(PersonProperty property, const nlohmann::json& json);

}  // namespace platform::addressbook::detail
