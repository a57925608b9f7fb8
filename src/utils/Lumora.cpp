#include "utils/Lumora.h"

namespace lumora {

bool containsEnglishCharacter(std::string_view text) {
  // In UTF-8 only one-byte characters have bytes below 0x80, so a byte scan
  // finds exactly the ASCII letters.
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x80) {
      const unsigned char upper = u & ~0x20u;
      if (upper >= 'A' && upper <= 'Z') return true;
    }
  }
  return false;
}

}  // namespace lumora
