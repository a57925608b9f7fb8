#include "platform/Error.h"

#include <fmt/format.h>

#include <cstring>

namespace platform {

Error::Error(std::string domain, std::int64_t code, Json userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {
  if (!userInfo_.is_object()) userInfo_ = nullptr;
}

Json& Error::mutableUserInfo() {
  if (!userInfo_.is_object()) userInfo_ = Json::object();
  return userInfo_;
}

std::optional<Error> Error::underlying() const {
  if (!userInfo_.is_object()) return std::nullopt;
  auto it = userInfo_.find(kUnderlyingErrorKey);
  if (it == userInfo_.end()) return std::nullopt;
  return fromJson(*it);
}

Error Error::withUnderlying(const Error& inner) const {
  Error copy = *this;
  copy.mutableUserInfo()[kUnderlyingErrorKey] = inner.toJson();
  return copy;
}

Json Error::toJson() const {
  return Json{{"domain", domain_}, {"code", code_}, {"userInfo", userInfo_}};
}

std::optional<Error> Error::fromJson(const Json& json) {
  if (!json.is_object()) return std::nullopt;
  auto domain = json.find("domain");
  auto code = json.find("code");
  if (domain == json.end() || !domain->is_string()) return std::nullopt;
  if (code == json.end() || !code->is_number_integer()) return std::nullopt;
  Json info = json.value("userInfo", Json());
  return Error(domain->get<std::string>(), code->get<std::int64_t>(), info);
}

std::string Error::description() const {
  std::string text;
  if (userInfo_.is_object()) {
    for (const char* key : {kLocalizedDescriptionKey, "reason", "description"}) {
      auto it = userInfo_.find(key);
      if (it != userInfo_.end() && it->is_string()) {
        text = it->get<std::string>();
        break;
      }
    }
  }
  if (text.empty()) return fmt::format("{} {}", domain_, code_);
  return fmt::format("{} {}: {}", domain_, code_, text);
}

Error posixError(int code, const std::string& what) {
  return Error(kPOSIXErrorDomain, code, Json{{Error::kLocalizedDescriptionKey, what + ": " + std::strerror(code)}});
}

}  // namespace platform
