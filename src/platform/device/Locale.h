// The user's current locale identifier ("en_US", "de_DE"): the configured
// one, else the one the environment names (LC_ALL, LC_MESSAGES, LANG, with
// the encoding and modifier cut off), else "en_US" (for "C", "POSIX" or
// nothing).
// Ownership: one process-wide setting. Threading: thread-safe. Failure: none.
#pragma once

#include <optional>
#include <string>

namespace platform {

class Locale {
 public:
  static std::string currentIdentifier();
  // nullopt goes back to the environment's.
  static void configure(const std::optional<std::string>& identifier);
};

}  // namespace platform
