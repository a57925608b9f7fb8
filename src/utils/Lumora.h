// Text tests used by the contact records. Stateless, any thread, cannot fail.
#pragma once

#include <string_view>

namespace lumora {

// True when the UTF-8 text holds an ASCII letter "A"-"Z" or "a"-"z".
bool containsEnglishCharacter(std::string_view text);

}  // namespace lumora
