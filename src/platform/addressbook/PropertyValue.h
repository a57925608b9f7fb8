// The value of one person property: a string, a date, an integer (the kind)
// or a multi-value of strings, dates or dictionaries, as propertyType() of the
// property says. Plain value type: copy freely, use from one thread at a
// time; nothing fails.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "platform/addressbook/MultiValue.h"
#include "platform/addressbook/Types.h"

namespace platform::addressbook {

using PropertyValue = std::variant<std::string, Date, std::int32_t, MultiValue<std::string>, MultiValue<Date>,
                                   MultiValue<Dictionary>>;

// The property type a value holds.
PropertyType valueType(const PropertyValue& value);

}  // namespace platform::addressbook
