#include "server/services/SdkHeaders.h"

#include <utility>

namespace localcloud {

std::optional<std::string> onceHeader(const httplib::Request& req, const char* name) {
  if (req.get_header_value_count(name) != 1) return std::nullopt;
  return req.get_header_value(name);
}

std::optional<std::string> sdkHeaderProblem(const httplib::Request& req) {
  const std::pair<const char*, const char*> exact[] = {
      {"User-Agent", "Blackbox iOS SDK/3.3.4"},
      {"Accept", "application/json"},
      {"Accept-Charset", "utf-8"},
      {"X-Blackbox-Developer-Token", "5b1e93c07a4d2f86e0c9b7a13d58f2046ca9e17b"},
      {"X-Blackbox-API-Client-Id", "com.harbor.blackbox.ios"},
      {"X-Blackbox-API-Client-Display-Version", "3.3.4"},
      {"X-Blackbox-API-Client-Build-Version", "82"},
  };
  for (const auto& [name, expected] : exact) {
    if (onceHeader(req, name) != expected) return std::string("a missing or wrong header: ") + name;
  }
  for (const char* name : {"Accept-Language", "Content-Language", "X-Blackbox-API-Key"}) {
    auto value = onceHeader(req, name);
    if (!value || value->empty()) return std::string("a missing header: ") + name;
  }
  if (req.get_header_value("Accept-Language") != req.get_header_value("Content-Language")) {
    return std::string("the two language headers differ");
  }
  return std::nullopt;
}

}  // namespace localcloud
