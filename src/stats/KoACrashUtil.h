// Texts of the signals a statistics crash record names.
// Stateless; any thread.
#pragma once

#include <string>

namespace lumora {

class KoACrashUtil {
 public:
  KoACrashUtil() = delete;

  // "signal:<number> -->" followed by the signal's description: the
  // classic texts of hangup to SIGTTOU ("segmentation violation", ...),
  // chosen by the signal's name; nothing after the arrow for any other.
  static std::string signalString(int signal);
};

}  // namespace lumora
