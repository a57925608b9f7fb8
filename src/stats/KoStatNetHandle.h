// The host address stored with each network sample: the first IPv4
// address of the URL's host, through the system's blocking resolver.
// Stateless; any thread (blocks for the lookup). Failures: nullopt.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace lumora {

class KoStatNetHandle {
 public:
  KoStatNetHandle() = delete;
  // `text` is a URL ("https://host:8443/path") or a bare host name; the
  // host alone is resolved. Dotted-decimal text, or nullopt.
  static std::optional<std::string> getIPAddressByHostName(std::string_view text);
  // The host part of `text` (no scheme, user, port, path, query).
  static std::string hostOf(std::string_view text);
};

}  // namespace lumora
